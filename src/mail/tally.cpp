#include "mail/tally.hpp"

namespace vantrel::mail {

void Tally::record(int code, std::string_view text) {
    ++sent;
    Ref number = checked(PyLong_FromLong(code));
    Ref words =
        checked(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    Py_XSETREF(last_reply, checked(PyTuple_Pack(2, number.get(), words.get())).release());
}

PyObject* describe_session(PyObject* session, PyObject* host, PyObject* port, Security security,
                           const char* state, const Tally& tally) {
    Ref name = checked(PyType_GetName(Py_TYPE(session)));
    return PyUnicode_FromFormat("<%U %S:%S %s %s, %zd sent>", name.get(), host, port,
                                security_name(security), state, tally.sent);
}

PyObject* describe_uninitialised(PyObject* session) {
    Ref name = checked(PyType_GetName(Py_TYPE(session)));
    return PyUnicode_FromFormat("<%U, not initialised>", name.get());
}

} // namespace vantrel::mail
