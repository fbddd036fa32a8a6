// vantrel.testing: capture() and its Outbox.  While a capture is active, what
// vantrel's modules connect through is a stand-in: `smtplib` of
// vantrel.mailer, whose SMTP and SMTP_SSL open connections to the outbox, and
// `_connect` of vantrel.session, which opens transports to an SMTP server in
// the process.  The delivery code runs unchanged against them, and every
// message it submits is recorded; the failures a server gives can be
// rehearsed.
// testing.hpp says which file holds what.
#include "testing/testing.hpp"

namespace vantrel::testing {

namespace {
void module_body(ModuleFrame& frame, PyObject* module);
} // namespace

ModuleFrame testing_module{"testing", "vantrel.testing", module_body};
Name n_smtplib{"smtplib"};

Ref native_type(ModuleFrame& frame, PyTypeObject*& type, PyType_Spec& spec,
                std::initializer_list<Method> methods) {
    if (!type) {
        type = reinterpret_cast<PyTypeObject*>(frame.native_class(spec, methods).release());
    }
    return Ref::borrow(reinterpret_cast<PyObject*>(type));
}

namespace {

constexpr const char* module_doc =
    "Test support for code that sends mail with vantrel.\n"
    "\n"
    "capture() returns an Outbox.  While it is active (a with block, or a function it\n"
    "decorates), vantrel delivers nothing: every message lands in the outbox as a\n"
    "SentMessage with its envelope, text, parsed message and connection.  The outbox can\n"
    "also rehearse what real servers do to a delivery: refuse_recipient, refuse_sender,\n"
    "refuse_login, refuse_token and disconnect make it fail as a server makes it fail.\n"
    "\n"
    "With pytest, the fixture mail_outbox is a capture around one test.\n"
    "\n"
    "Captures are process-wide: they rebind the names vantrel's modules connect through, so\n"
    "every thread's deliveries land in the innermost active capture.\n";

// The modules a capture rebinds names in, imported now: one imported during
// a capture would otherwise deliver for real until the next.
void import_targets() {
    checked(PyImport_ImportModule("vantrel.mailer"));
    checked(PyImport_ImportModule("vantrel.session"));
}

void module_body(ModuleFrame& frame, PyObject*) {
    Ref doc = checked(PyUnicode_FromString(module_doc));
    frame.bind("__doc__", doc.get());
    frame.import("smtplib");
    frame.import_from("email", {"message_from_bytes", "message_from_string", "policy"});
    frame.import_from("functools", {"update_wrapper"});
    frame.import_from("inspect", {"iscoroutinefunction", "markcoroutinefunction"});

    make_decorator_types(frame);
    Ref standin = make_smtplib_standin(frame);
    Ref outbox = make_outbox_types(frame);
    Ref server = make_server_types(frame);
    import_targets();
    start_captures(standin);

    frame.bind("capture", frame.function(capture_signature).get());
    frame.bind("Outbox", outbox.get());
    frame.bind("SentMessage", reinterpret_cast<PyObject*>(SentMessageObject::type));
    frame.bind("_StandInServer", server.get());
}

} // namespace
} // namespace vantrel::testing

PyMODINIT_FUNC PyInit_testing() noexcept {
    return vantrel::testing::testing_module.init();
}
