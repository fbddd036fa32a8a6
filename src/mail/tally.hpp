// What a session counts of its deliveries, embedded in Session and
// AsyncSession alike, and its Python side: the `sent`, `connections` and
// `last_reply` attributes and the words that end each session's repr.
#pragma once

#include "frame/frame.hpp"
#include "mail/settings.hpp"

#include <string_view>

namespace vantrel::mail {

struct Tally {
    PyObject* last_reply;   // (code, text) of the last message accepted, or null
    Py_ssize_t sent;        // messages accepted in all
    Py_ssize_t connections; // connections opened in all

    // A message the server accepted with this final reply.
    void record(int code, std::string_view text);

    int traverse(visitproc visit, void* arg) const noexcept {
        Py_VISIT(last_reply);
        return 0;
    }
    void clear() noexcept { Py_CLEAR(last_reply); }
};

// <Session smtp.example.com:587 starttls connected, 12 sent>: the repr of the
// session `session`, its mailer's host, port and encryption mode, then
// `state`; or <Session, not initialised> without a mailer.
PyObject* describe_session(PyObject* session, PyObject* host, PyObject* port, Security security,
                           const char* state, const Tally& tally);
PyObject* describe_uninitialised(PyObject* session);

// The attributes of the tally `tally` of the session type T, with
// `last_reply_doc` as last_reply's docstring: a type's Py_tp_getset.
template <class T, Tally T::* tally, const char* last_reply_doc> struct TallyAttributes {
    static PyObject* get_sent(PyObject* object, void*) noexcept {
        return PyLong_FromSsize_t((as<T>(object)->*tally).sent);
    }

    static PyObject* get_connections(PyObject* object, void*) noexcept {
        return PyLong_FromSsize_t((as<T>(object)->*tally).connections);
    }

    static PyObject* get_last_reply(PyObject* object, void*) noexcept {
        PyObject* reply = (as<T>(object)->*tally).last_reply;
        return Py_NewRef(reply ? reply : Py_None);
    }

    static inline PyGetSetDef getset[] = {
        {"sent", get_sent, nullptr,
         PyDoc_STR("Messages the server has accepted through this session so far (int)."), nullptr},
        {"connections", get_connections, nullptr,
         PyDoc_STR("SMTP connections this session has opened so far (int)."), nullptr},
        {"last_reply", get_last_reply, nullptr, last_reply_doc, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
};

} // namespace vantrel::mail
