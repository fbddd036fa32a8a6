// vantrel.dkim: Signer, which signs messages with DKIM, and verify(), which
// checks a signature, for sessions, the command line and users' tests.  The
// canonicalisation and the cryptography are in src/dkim/, which knows no
// Python; this module turns arguments into its terms and its problems into
// ValueError.
#include "dkim/dkim.hpp"
#include "frame/frame.hpp"
#include "mail/signer_object.hpp"
#include "smtp/text.hpp"

#include <cstring>
#include <ctime>
#include <memory>

using namespace vantrel;

namespace {

void module_body(ModuleFrame& frame, PyObject* module);

ModuleFrame dkim_module{"dkim", "vantrel.dkim", module_body};

Name n_fspath{"__fspath__"};
Name n_read_bytes{"read_bytes"};
Name n_Path{"Path"};

// Made by the module body, kept for the process.
using mail::SignerObject;

dkim::Signer& signer_of(PyObject* object, const char* method) {
    auto* self = instance_of<SignerObject>(object, method);
    if (!self->signer) raise(PyExc_RuntimeError, "Signer.__init__() has not been called");
    return *self->signer;
}

std::string text_of(PyObject* str) {
    return std::string(utf8_view(str));
}

// A message given as bytes or str (then UTF-8), in CRLF form.
std::string message_of(PyObject* message) {
    if (PyBytes_Check(message)) return smtp::wire_text(bytes_view(message));
    if (PyUnicode_Check(message)) return smtp::wire_text(text_of(message));
    raise_incorrect_type("message", "bytes", nullptr, message);
}

// Runs one step of the C++ signer, its problems becoming ValueError.
template <class Step> auto dkim_step(Step&& step) {
    try {
        return step();
    } catch (const dkim::Problem& problem) {
        raise(PyExc_ValueError, problem.what());
    }
}

// PEM text as bytes, or the path of a file holding it (str or os.PathLike).
std::string pem_of(const ModuleFrame& frame, PyObject* key, const char* param) {
    if (PyBytes_Check(key)) return std::string(bytes_view(key));
    if (PyUnicode_Check(key) ||
        optional_attr(reinterpret_cast<PyObject*>(Py_TYPE(key)), n_fspath)) {
        Ref path_type = frame.global(n_Path);
        Ref path = call(path_type, key);
        Ref data = call_method(path, n_read_bytes);
        return std::string(bytes_view(data.get()));
    }
    raise_incorrect_type(param, "bytes or a path", nullptr, key);
}

// ---------------------------------------------------------------------------
// class Signer

constexpr Param init_params[] = {
    self_param,
    {"domain", "str", Rule::Str, Default::Required},
    {"selector", "str", Rule::Str, Default::Required},
    {"private_key", "Union[bytes, str, PathLike[str]]", Rule::Any, Default::Required},
    {"algorithm", "str", Rule::Str, Default::Text, 0, "rsa-sha256"},
    {"headers", "Optional[List[str]]", Rule::OptList, Default::None},
};

Ref Signer_init(FunctionObject*, Args<init_params> args) {
    auto* self = instance_of<SignerObject>(args["self"], "__init__");
    const std::string algorithm_name = text_of(args["algorithm"]);
    dkim::Algorithm algorithm;
    if (algorithm_name == "rsa-sha256")
        algorithm = dkim::Algorithm::RsaSha256;
    else if (algorithm_name == "ed25519-sha256")
        algorithm = dkim::Algorithm::Ed25519Sha256;
    else
        raise(PyExc_ValueError, "algorithm must be 'rsa-sha256' or 'ed25519-sha256'");
    std::vector<std::string> headers;
    if (PyObject* list = args["headers"]; list != Py_None) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
            PyObject* name = PyList_GET_ITEM(list, i);
            if (!PyUnicode_Check(name)) {
                raise_incorrect_type("headers", "List[str]", nullptr, name);
            }
            headers.push_back(text_of(name));
        }
    } else {
        headers = dkim::default_headers();
    }
    const std::string pem = pem_of(dkim_module, args["private_key"], "private_key");
    auto signer = dkim_step([&] {
        return std::make_unique<dkim::Signer>(text_of(args["domain"]), text_of(args["selector"]),
                                              dkim::private_key(pem), algorithm,
                                              std::move(headers));
    });
    delete self->signer;
    self->signer = signer.release();
    return none();
}

const Signature init_signature = define<Signer_init>({
    .name = "__init__",
    .doc = "Sign as `domain` with the key published under `selector`.\n"
           "\n"
           "private_key: the PEM private key, as bytes, or the path of a file holding\n"
           "it.  algorithm: 'rsa-sha256' (an RSA key of at least 1024 bits; 2048 is\n"
           "usual) or 'ed25519-sha256'.  headers: the header fields to sign, where the\n"
           "message has them; by default From, To, Cc, Subject, Date, Message-ID,\n"
           "Reply-To, MIME-Version, Content-Type, List-Unsubscribe and\n"
           "List-Unsubscribe-Post, with From signed once more than it occurs so that\n"
           "no second From can be added.\n",
    .returns = "None",
});

constexpr Param sign_params[] = {
    self_param,
    {"message", "Union[bytes, str]", Rule::Any, Default::Required},
};

Ref Signer_sign(FunctionObject*, Args<sign_params> args) {
    const dkim::Signer& signer = signer_of(args["self"], "sign");
    const std::string message = message_of(args["message"]);
    const std::string field = dkim_step(
        [&] { return signer.field(message, static_cast<std::int64_t>(std::time(nullptr))); });
    Ref out = checked(
        PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(field.size() + message.size())));
    char* bytes = PyBytes_AS_STRING(out.get());
    std::memcpy(bytes, field.data(), field.size());
    std::memcpy(bytes + field.size(), message.data(), message.size());
    return out;
}

const Signature sign_signature = define<Signer_sign>({
    .name = "sign",
    .doc = "The message with its DKIM-Signature field in front, every line ending CRLF.\n"
           "\n"
           "Send exactly these bytes: the signature covers the header fields and the\n"
           "body as they stand, so nothing may re-encode the message afterwards.\n",
    .returns = "bytes",
});

PyObject* get_dns_record(PyObject* object, void*) noexcept {
    return guarded(
        [&]() -> PyObject* {
            const std::string record =
                dkim_step([&] { return signer_of(object, "dns_record").dns_record(); });
            return PyUnicode_FromStringAndSize(record.data(),
                                               static_cast<Py_ssize_t>(record.size()));
        },
        nullptr);
}

PyObject* get_domain(PyObject* object, void*) noexcept {
    return guarded(
        [&]() -> PyObject* {
            const std::string& domain = signer_of(object, "domain").domain();
            return PyUnicode_FromStringAndSize(domain.data(),
                                               static_cast<Py_ssize_t>(domain.size()));
        },
        nullptr);
}

PyObject* get_selector(PyObject* object, void*) noexcept {
    return guarded(
        [&]() -> PyObject* {
            const std::string& selector = signer_of(object, "selector").selector();
            return PyUnicode_FromStringAndSize(selector.data(),
                                               static_cast<Py_ssize_t>(selector.size()));
        },
        nullptr);
}

PyObject* get_algorithm(PyObject* object, void*) noexcept {
    return guarded(
        [&]() -> PyObject* {
            const bool rsa =
                signer_of(object, "algorithm").algorithm() == dkim::Algorithm::RsaSha256;
            return PyUnicode_FromString(rsa ? "rsa-sha256" : "ed25519-sha256");
        },
        nullptr);
}

PyObject* get_headers(PyObject* object, void*) noexcept {
    return guarded(
        [&]() -> PyObject* {
            const auto& names = signer_of(object, "headers").headers();
            Ref tuple = checked(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
            for (std::size_t i = 0; i < names.size(); ++i) {
                PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i),
                                 checked(PyUnicode_FromString(names[i].c_str())).release());
            }
            return tuple.release();
        },
        nullptr);
}

PyGetSetDef signer_getset[] = {
    {"dns_record", get_dns_record, nullptr,
     PyDoc_STR("The TXT record to publish at <selector>._domainkey.<domain> (str)."), nullptr},
    {"domain", get_domain, nullptr, PyDoc_STR("The signing domain, the d= tag (str)."), nullptr},
    {"selector", get_selector, nullptr, PyDoc_STR("The key's selector, the s= tag (str)."),
     nullptr},
    {"algorithm", get_algorithm, nullptr, PyDoc_STR("'rsa-sha256' or 'ed25519-sha256'."), nullptr},
    {"headers", get_headers, nullptr,
     PyDoc_STR("The header names signed where present, in lower case (tuple)."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// <Signer d=example.com s=mail2026 rsa-sha256>: never the key.
PyObject* signer_repr(PyObject* object) noexcept {
    return guarded(
        [&]() -> PyObject* {
            auto* self = reinterpret_cast<SignerObject*>(object);
            if (!self->signer) return PyUnicode_FromString("<Signer, not initialised>");
            const dkim::Signer& signer = *self->signer;
            const bool rsa = signer.algorithm() == dkim::Algorithm::RsaSha256;
            return PyUnicode_FromFormat("<Signer d=%s s=%s %s>", signer.domain().c_str(),
                                        signer.selector().c_str(),
                                        rsa ? "rsa-sha256" : "ed25519-sha256");
        },
        nullptr);
}

void signer_dealloc(PyObject* object) noexcept {
    PyTypeObject* type = Py_TYPE(object);
    delete reinterpret_cast<SignerObject*>(object)->signer;
    type->tp_free(object);
    Py_DECREF(type);
}

PyObject* signer_reduce(PyObject* object, PyObject*) noexcept {
    (void)object;
    PyErr_SetString(PyExc_TypeError, "cannot pickle a Signer: it holds a private key");
    return nullptr;
}

PyMethodDef signer_methods[] = {
    {"__reduce__", signer_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char* signer_doc =
    "Signs messages with DKIM (RFC 6376), relaxed/relaxed, for one domain and key.\n"
    "\n"
    "    signer = Signer(\"example.com\", \"mail2026\", Path(\"dkim.pem\").read_bytes())\n"
    "    Session(mailer, dkim=signer)         # every message the session sends is signed\n"
    "    signer.dns_record                    # what to publish at "
    "mail2026._domainkey.example.com\n";

PyType_Slot signer_slots[] = {
    type_slot(Py_tp_doc, signer_doc),         type_slot(Py_tp_dealloc, signer_dealloc),
    type_slot(Py_tp_repr, signer_repr),       type_slot(Py_tp_getset, signer_getset),
    type_slot(Py_tp_methods, signer_methods), {},
};

PyType_Spec signer_spec = {
    .name = "vantrel.dkim.Signer",
    .basicsize = sizeof(SignerObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = signer_slots,
};

// ---------------------------------------------------------------------------
// def verify(message, public_key)

constexpr Param verify_params[] = {
    {"message", "Union[bytes, str]", Rule::Any, Default::Required},
    {"public_key", "Union[bytes, str]", Rule::Any, Default::Required},
};

Ref verify(FunctionObject*, Args<verify_params> args) {
    const std::string message = message_of(args["message"]);
    PyObject* key_arg = args["public_key"];
    std::string key_text;
    if (PyBytes_Check(key_arg))
        key_text = std::string(bytes_view(key_arg));
    else if (PyUnicode_Check(key_arg))
        key_text = text_of(key_arg);
    else {
        raise_incorrect_type("public_key", "bytes or str", nullptr, key_arg);
    }
    dkim::Key key = dkim_step([&] { return dkim::public_key(key_text); });
    const dkim::Verdict verdict = dkim::verify(message, key.get());
    return Ref::borrow(verdict.valid ? Py_True : Py_False);
}

const Signature verify_signature = define<verify>({
    .name = "verify",
    .doc = "Whether the message's first DKIM-Signature is valid for `public_key`.\n"
           "\n"
           "public_key: a PEM public key, or the text of the key's DNS record\n"
           "(\"v=DKIM1; k=rsa; p=...\"), such as Signer.dns_record.  The body hash and\n"
           "the signature over the signed header fields are both checked.\n",
    .returns = "bool",
});

void module_body(ModuleFrame& frame, PyObject*) {
    frame.import_from("pathlib", {"Path"});
    frame.import_from("os", {"PathLike"});
    frame.import_from("typing", {"List", "Optional", "Union"});
    Ref type = frame.native_class(signer_spec, {init_signature, sign_signature});
    frame.bind("Signer", type.get());
    Ref verify_function = frame.function(verify_signature);
    frame.bind("verify", verify_function.get());
    Py_XSETREF(SignerObject::type, reinterpret_cast<PyTypeObject*>(type.release()));
}

} // namespace

PyMODINIT_FUNC PyInit_dkim() noexcept {
    return dkim_module.init();
}
