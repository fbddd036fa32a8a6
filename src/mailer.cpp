// vantrel.mailer: EasyMailer composes MIME messages (text, HTML or both,
// optionally from templates, with attachments) and delivers each over its own
// SMTP connection.
#include "frame/frame.hpp"
#include "mail/params.hpp"
#include "mail/sending.hpp"
#include "mail/settings.hpp"

#include <array>

using namespace vantrel;
using namespace vantrel::mail;

namespace {

void module_body(ModuleFrame& frame, PyObject* module);

ModuleFrame mailer_module{"mailer", "vantrel.mailer", module_body};

// A built-in taken once at import and kept for the life of the process.
PyObject* builtin_open;

// Identifiers: attributes, module-level names, keywords.
Name n_TemplateEngine{"TemplateEngine"};
Name n_do_send{"_do_send"};
Name n_attach_file{"_attach_file"};
Name n_attach_binary{"_attach_binary"};
Name n_MIMEMultipart{"MIMEMultipart"};
Name n_MIMEText{"MIMEText"};
Name n_MIMEBase{"MIMEBase"};
Name n_formataddr{"formataddr"};
Name n_formatdate{"formatdate"};
Name n_attach{"attach"};
Name n_Path{"Path"};
Name n_is_file{"is_file"};
Name n_name{"name"};
Name n_mimetypes{"mimetypes"};
Name n_guess_type{"guess_type"};
Name n_split{"split"};
Name n_read{"read"};
Name n_set_payload{"set_payload"};
Name n_encoders{"encoders"};
Name n_encode_base64{"encode_base64"};
Name n_add_header{"add_header"};
Name n_filename{"filename"};
Name n_data{"data"};
Name n_content_type{"content_type"};
Name n_as_string{"as_string"};
Name n_sendmail{"sendmail"};
Name n_email_utils{"email.utils"};
Name n_getaddresses{"getaddresses"};

// Constant values: formats, header names, MIME types and subtypes.
Text t_From{"From"};
Text t_To{"To"};
Text t_Subject{"Subject"};
Text t_Date{"Date"};
Text t_Cc{"Cc"};
Text t_Reply_To{"Reply-To"};
Text t_mixed{"mixed"};
Text t_alternative{"alternative"};
Text t_plain{"plain"};
Text t_html{"html"};
Text t_utf_8{"utf-8"};
Text t_comma_space{", "};
Text t_empty{""};
Text t_octet_stream{"application/octet-stream"};
Text t_slash{"/"};
Text t_rb{"rb"};
Text t_Content_Disposition{"Content-Disposition"};
Text t_attachment{"attachment"};
Text t_attachment_prefix{"attachment; filename="};

KwNames kw_localtime{"localtime"};
KwNames kw_filename{"filename"};
KwNames kw_charset{"charset"};

// msg[name] = value: appends a header, replacing nothing.
void set_header(PyObject* msg, const Text& name, PyObject* value) {
    checked(PyObject_SetItem(msg, name.get(), value));
}

// An address field: a list (or list subclass) is joined with ", ", anything
// else is used as it is.
Ref address_field(PyObject* value) {
    if (PyList_Check(value)) return checked(PyUnicode_Join(t_comma_space.get(), value));
    return Ref::borrow(value);
}

// getaddresses([value]): the (display name, address) pairs of a header value.
// Imported at each use as a function would import it, so that the module's
// namespace holds only the names it always had.
Ref parsed_addresses(PyObject* value) {
    Ref getaddresses =
        checked(PyImport_ImportModuleAttr(n_email_utils.get(), n_getaddresses.get()));
    Ref fields = checked(PyList_New(0));
    checked(PyList_Append(fields.get(), value));
    return call(getaddresses, fields);
}

// The display names and the addresses of a getaddresses result, as two lists
// in its order; both empty when the result is no list of (name, address)
// string pairs.
struct NamesAndAddresses {
    Ref names;
    Ref addresses;
};

NamesAndAddresses split_pairs(PyObject* pairs) {
    NamesAndAddresses split{checked(PyList_New(0)), checked(PyList_New(0))};
    if (!PyList_Check(pairs)) return split;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pairs); ++i) {
        PyObject* pair = PyList_GET_ITEM(pairs, i);
        if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2 ||
            !PyUnicode_Check(PyTuple_GET_ITEM(pair, 0)) ||
            !PyUnicode_Check(PyTuple_GET_ITEM(pair, 1))) {
            return {checked(PyList_New(0)), checked(PyList_New(0))};
        }
        checked(PyList_Append(split.names.get(), PyTuple_GET_ITEM(pair, 0)));
        checked(PyList_Append(split.addresses.get(), PyTuple_GET_ITEM(pair, 1)));
    }
    return split;
}

// Whether a string holds the character.
bool contains(PyObject* text, Py_UCS4 c) {
    // -1: not found, -2: an error.
    const Py_ssize_t at = PyUnicode_FindChar(text, c, 0, PyUnicode_GET_LENGTH(text), 1);
    if (at == -2) raise_error();
    return at >= 0;
}

// An address as a header can carry it without SMTPUTF8: ASCII, with a local
// part and a domain.  getaddresses makes ('', '') of text it cannot parse,
// and a bare word of a display name that lacks its address.
bool is_ascii_address(PyObject* address) {
    return PyUnicode_IS_ASCII(address) && contains(address, '@');
}

// Whether `kept` holds the non-ASCII characters of `text`, no more and no
// fewer, in the same order.
bool keeps_non_ascii(PyObject* text, PyObject* kept) {
    const int text_kind = PyUnicode_KIND(text);
    const void* text_data = PyUnicode_DATA(text);
    const int kept_kind = PyUnicode_KIND(kept);
    const void* kept_data = PyUnicode_DATA(kept);
    const Py_ssize_t kept_length = PyUnicode_GET_LENGTH(kept);
    Py_ssize_t k = 0;
    auto next_kept = [&]() -> Py_UCS4 {
        while (k < kept_length) {
            const Py_UCS4 c = PyUnicode_READ(kept_kind, kept_data, k++);
            if (c > 0x7f) return c;
        }
        return 0; // no more: no character of interest is 0
    };
    for (Py_ssize_t t = 0; t < PyUnicode_GET_LENGTH(text); ++t) {
        const Py_UCS4 c = PyUnicode_READ(text_kind, text_data, t);
        if (c > 0x7f && next_kept() != c) return false;
    }
    return next_kept() == 0;
}

// The addresses of a value, written with formataddr((name, address),
// charset="utf-8") and joined by ", ", or an empty Ref when the value does not
// stand for such a list: the email package would otherwise encode a non-ASCII
// value whole, addresses included, and no server can deliver to that.  The
// value is left as it is when an address is not ASCII or none at all, when
// the parser dropped some of its non-ASCII text (a group's name, a comment
// after an address), when a name would bring a line break into the header,
// or when the written value would not parse back into the same addresses.
Ref with_encoded_names(PyObject* value) {
    NamesAndAddresses parsed = split_pairs(parsed_addresses(value).get());
    const Py_ssize_t count = PyList_GET_SIZE(parsed.addresses.get());
    if (count == 0) return {};
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (!is_ascii_address(PyList_GET_ITEM(parsed.addresses.get(), i))) return {};
    }
    Ref all_names = checked(PyUnicode_Join(t_empty.get(), parsed.names.get()));
    if (!keeps_non_ascii(value, all_names.get())) return {};

    Ref written = checked(PyList_New(0));
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref pair = checked(PyTuple_Pack(2, PyList_GET_ITEM(parsed.names.get(), i),
                                        PyList_GET_ITEM(parsed.addresses.get(), i)));
        Ref address = call_kw(mailer_module.global(n_formataddr), kw_charset, pair, t_utf_8.get());
        checked(PyList_Append(written.get(), address.get()));
    }
    Ref field = checked(PyUnicode_Join(t_comma_space.get(), written.get()));
    // An ASCII name keeps a line break that it held between quotes; the
    // value as given was encoded whole and carried none.
    if (contains(field.get(), '\r') || contains(field.get(), '\n')) return {};
    NamesAndAddresses parsed_back = split_pairs(parsed_addresses(field.get()).get());
    const int same = checked(
        PyObject_RichCompareBool(parsed_back.addresses.get(), parsed.addresses.get(), Py_EQ));
    return same ? field : Ref();
}

// The value of To, Cc or Reply-To: the field as address_field makes it, with
// only the display names encoded when it holds non-ASCII text.
Ref address_header(PyObject* value) {
    Ref field = address_field(value);
    if (!PyUnicode_Check(field.get()) || PyUnicode_IS_ASCII(field.get())) return field;
    // The parser calls str() on what it is given: an exact copy of a str
    // subclass runs none of the subclass's code.
    Ref text = checked(PyUnicode_FromObject(field.get()));
    Ref encoded = with_encoded_names(text.get());
    return encoded ? std::move(encoded) : std::move(field);
}

// `first, second = value`, as the interpreter unpacks: it iterates, takes at
// most one item beyond the two, and counts the items in its message only for
// the types whose length it knows.  Too few items keep the older wording.
std::array<Ref, 2> unpack_two(PyObject* value) {
    Ref iterator = Ref::steal(PyObject_GetIter(value));
    if (!iterator) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(value)->tp_iter &&
            !PySequence_Check(value)) {
            raise_format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(value)->tp_name);
        }
        raise_error();
    }
    std::array<Ref, 2> items;
    for (Py_ssize_t count = 0; count < 2; ++count) {
        items[count] = Ref::steal(PyIter_Next(iterator.get()));
        if (!items[count]) {
            if (!PyErr_Occurred()) {
                raise_format(PyExc_ValueError, "need more than %zd value%.1s to unpack", count,
                             count == 1 ? "" : "s");
            }
            raise_error();
        }
    }
    if (Ref extra = Ref::steal(PyIter_Next(iterator.get()))) {
        if (PyList_CheckExact(value) || PyTuple_CheckExact(value) || PyDict_CheckExact(value)) {
            raise_format(PyExc_ValueError, "too many values to unpack (expected 2, got %zd)",
                         PyObject_Size(value));
        }
        raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    }
    if (PyErr_Occurred()) raise_error();
    return items;
}

// `maintype, subtype = content_type.split("/", 1)`.
std::array<Ref, 2> split_content_type(PyObject* content_type) {
    Ref one = checked(PyLong_FromLong(1));
    return unpack_two(call_method(content_type, n_split, t_slash.get(), one).get());
}

// A content type, or the fallback when it is false by the truth test.
Ref or_octet_stream(Ref content_type) {
    if (content_type && truth(content_type)) return content_type;
    return Ref::borrow(t_octet_stream.get());
}

// The first element of mimetypes.guess_type(name).
Ref guessed_type(PyObject* name) {
    Ref guess = call_method(mailer_module.global(n_mimetypes), n_guess_type, name);
    Ref zero = checked(PyLong_FromLong(0));
    return checked(PyObject_GetItem(guess.get(), zero.get()));
}

// An RFC 2045 token: printable ASCII without space or tspecials.
bool is_token(PyObject* name) {
    if (!PyUnicode_IS_ASCII(name) || PyUnicode_GET_LENGTH(name) == 0) return false;
    const char* text = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(name));
    for (Py_ssize_t i = 0; i < PyUnicode_GET_LENGTH(name); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c <= 0x20 || c >= 0x7f) return false;
        for (const char* special = "()<>@,;:\\\"/[]?="; *special; ++special) {
            if (c == static_cast<unsigned char>(*special)) return false;
        }
    }
    return true;
}

// Labels an attachment part with its file name.  A token goes into the header
// as it is; any other name is left to the email package, which quotes it and
// uses RFC 2231 for non-ASCII text, so that every name reaches the recipient.
void add_disposition(PyObject* part, PyObject* name) {
    // A name that is no string (only a rebound Path gives one) joins the
    // header text as `+` would, with the interpreter's TypeError when it
    // cannot.
    if (!PyUnicode_Check(name) || is_token(name)) {
        Ref value = checked(PyNumber_Add(t_attachment_prefix.get(), name));
        call_method(part, n_add_header, t_Content_Disposition.get(), value);
    } else {
        call_method_kw(part, n_add_header, kw_filename, t_Content_Disposition.get(),
                       t_attachment.get(), name);
    }
}

// A new part MIMEBase(maintype, subtype) for a content type.
Ref make_part(PyObject* content_type) {
    auto [maintype, subtype] = split_content_type(content_type);
    return call(mailer_module.global(n_MIMEBase), maintype, subtype);
}

// Encodes a filled part, labels it with the name that `name_of()` gives, read
// only after the encoding, and appends it to the message: the message is
// touched only in this last step, so a failure before leaves it as it was.
template <class NameOf> void finish_part(PyObject* msg, const Ref& part, NameOf&& name_of) {
    call_method(mailer_module.global(n_encoders), n_encode_base64, part);
    add_disposition(part.get(), name_of().get());
    call_method(msg, n_attach, part);
}

// MIMEText(text, subtype, "utf-8").
Ref text_part(PyObject* text, const Text& subtype) {
    return call(mailer_module.global(n_MIMEText), text, subtype.get(), t_utf_8.get());
}

// ---------------------------------------------------------------------------
// class EasyMailer

// The conversions and type tests run in this order: the truth values first,
// then host, port and the rest as the table lists them.
constexpr Param init_params[] = {
    self_param,
    {"host", "str", Rule::Str, Default::Required},
    {"port", "int", Rule::Int, Default::Required},
    {"username", "str", Rule::Str, Default::Required},
    {"password", "str", Rule::Str, Default::Required},
    {"use_ssl", "bool", Rule::Truth, Default::True},
    {"use_tls", "bool", Rule::Truth, Default::False},
    {"default_sender", "Optional[str]", Rule::OptStr, Default::None},
    {"template_dir", "Optional[str]", Rule::OptStr, Default::None},
};

Ref EasyMailer_init(FunctionObject*, Args<init_params> args) {
    PyObject* mailer = args["self"];
    PyObject* username = args["username"];
    PyObject* use_ssl = args["use_ssl"];
    PyObject* use_tls = args["use_tls"];
    PyObject* default_sender = args["default_sender"];
    if (use_ssl == Py_True && use_tls == Py_True) {
        raise(PyExc_ValueError, "use_ssl and use_tls cannot both be True.");
    }
    setattr(mailer, attr::host, args["host"]);
    setattr(mailer, attr::port, args["port"]);
    setattr(mailer, attr::username, username);
    setattr(mailer, attr::password, args["password"]);
    setattr(mailer, attr::use_ssl, use_ssl);
    setattr(mailer, attr::use_tls, use_tls);
    setattr(mailer, attr::default_sender, truth(default_sender) ? default_sender : username);
    Ref engine = call(mailer_module.global(n_TemplateEngine), args["template_dir"]);
    setattr(mailer, attr::template_engine, engine.get());
    return none();
}

const Signature init_signature = define<EasyMailer_init>({
    .name = "__init__",
    .doc =
        "\n"
        "        初始化邮件发送器。\n"
        "\n"
        "        参数说明：\n"
        "            host: SMTP 服务器地址\n"
        "            port: SMTP 服务器端口(465 对应SSL加密,587对应TLS加密,25为无加密明文端口)\n"
        "            username: SMTP 登录账号\n"
        "            password: SMTP 登录密码\n"
        "            use_ssl: 是否启用SSL连接(通常搭配465端口使用)\n"
        "            use_tls: 是否启用STARTTLS加密升级(通常搭配587端口使用),不可与use_ssl同时开启\n"
        "            default_sender: 默认发件邮箱,未配置时将使用登录账号username作为发件人\n"
        "            template_dir: 自定义邮件模板目录路径;传None则使用内置模板\n"
        "        ",
});

// send_params, in src/mail/params.hpp: the table Session.send shares.
Ref EasyMailer_send(FunctionObject*, Args<send_params> args) {
    PyObject* mailer = args["self"];
    Outgoing outgoing = compose(mailer, args);
    call_method(mailer, n_do_send, outgoing.message, outgoing.recipients, outgoing.sender);
    return none();
}

const Signature send_signature = define<EasyMailer_send>({
    .name = "send",
    .doc =
        "\n"
        "        发送邮件。\n"
        "\n"
        "        参数说明：\n"
        "            to: 收件人邮箱（可多个）\n"
        "            subject: 邮件主题\n"
        "            body: 纯文本正文\n"
        "            html: HTML格式正文,若同时传入body与html,优先使用html内容\n"
        "            cc: 抄送邮箱列表\n"
        "            bcc: 密送邮箱列表\n"
        "            sender: 发件人邮箱，会覆盖默认发件人配置\n"
        "            sender_name: 发件人对外显示名称\n"
        "            attachments: 附件列表，列表元素支持两种格式：\n"
        "                - 字符串：待附加文件的本地路径\n"
        "                - 字典：{\"filename\": \"name.png\", \"data\": bytes, \"content_type\": "
        "\"image/png\"}\n"
        "                (content_type 选填，未指定时将根据文件名自动识别文件类型)\n"
        "            reply_to: 回复收件邮箱地址\n"
        "        ",
    .returns = "None",
});

// send_template_params, in src/mail/params.hpp: shared with Session.send_template.
Ref EasyMailer_send_template(FunctionObject*, Args<send_template_params> args) {
    // The mailer renders with its own engine and sends through its own send.
    send_template(mailer_module, args["self"], args["self"], args);
    return none();
}

const Signature send_template_signature = define<EasyMailer_send_template>({
    .name = "send_template",
    .doc =
        "\n"
        "        使用模板发送邮件。\n"
        "\n"
        "        参数说明：\n"
        "            to: 收件人邮箱地址（支持多个地址）\n"
        "            subject: 邮件主题（同样支持通过 context 传入 Jinja2 变量渲染）\n"
        "            template_name: 模板名称（无需填写文件后缀）\n"
        "            context: 用于渲染模板的变量字典\n"
        "            cc: 抄送邮箱列表\n"
        "            bcc: 密送邮箱列表\n"
        "            sender: 发件人邮箱地址\n"
        "            sender_name: 发件人展示名称\n"
        "            attachments: 附件列表，列表内元素支持两种格式：\n"
        "                - 字符串：本地文件路径，直接作为附件上传\n"
        "                - 字典：{\"filename\": \"name.png\", \"data\": bytes, \"content_type\": "
        "\"image/png\"}\n"
        "                (content_type 为选填项，不传时会根据文件名自动识别文件类型)\n"
        "            reply_to: 回复邮箱地址\n"
        "        ",
    .returns = "None",
});

constexpr Param build_message_params[] = {
    self_param,
    to_param,
    subject_param,
    required(body_param),
    required(html_param),
    required(cc_param),
    required(sender_param),
    required(sender_name_param),
    required(attachments_param),
    required(reply_to_param),
};

Ref EasyMailer_build_message(FunctionObject*, Args<build_message_params> args) {
    PyObject* mailer = args["self"];
    PyObject* body = args["body"];
    PyObject* html = args["html"];
    PyObject* cc = args["cc"];
    PyObject* sender_name = args["sender_name"];
    PyObject* attachments = args["attachments"];
    PyObject* reply_to = args["reply_to"];
    Ref msg = call(mailer_module.global(n_MIMEMultipart), t_mixed.get());
    Ref from_addr = sender_or_default(mailer, args["sender"]);
    if (non_empty_str(sender_name)) {
        Ref pair = checked(PyTuple_Pack(2, sender_name, from_addr.get()));
        set_header(msg.get(), t_From, call(mailer_module.global(n_formataddr), pair).get());
    } else {
        set_header(msg.get(), t_From, from_addr.get());
    }
    set_header(msg.get(), t_To, address_header(args["to"]).get());
    set_header(msg.get(), t_Subject, args["subject"]);
    set_header(msg.get(), t_Date,
               call_kw(mailer_module.global(n_formatdate), kw_localtime, Py_True).get());
    if (truth(cc)) set_header(msg.get(), t_Cc, address_header(cc).get());
    if (non_empty_str(reply_to)) set_header(msg.get(), t_Reply_To, address_header(reply_to).get());

    if (non_empty_str(html) && non_empty_str(body)) {
        Ref alt = call(mailer_module.global(n_MIMEMultipart), t_alternative.get());
        call_method(alt, n_attach, text_part(body, t_plain));
        call_method(alt, n_attach, text_part(html, t_html));
        call_method(msg, n_attach, alt);
    } else if (non_empty_str(html)) {
        call_method(msg, n_attach, text_part(html, t_html));
    } else if (non_empty_str(body)) {
        call_method(msg, n_attach, text_part(body, t_plain));
    }

    if (attachments != Py_None) {
        // Indexing afresh each time keeps list-iteration semantics even if an
        // attachment method changes the list.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(attachments); ++i) {
            Ref item = Ref::borrow(PyList_GET_ITEM(attachments, i));
            const Name& method = PyDict_Check(item.get()) ? n_attach_binary : n_attach_file;
            call_method(mailer, method, msg, item);
        }
    }
    return msg;
}

const Signature build_message_signature = define<EasyMailer_build_message>({
    .name = "_build_message",
    .returns = "MIMEMultipart",
});

constexpr Param msg_param{"msg", "MIMEMultipart", Rule::Any, Default::Required};

constexpr Param attach_file_params[] = {msg_param,
                                        {"filepath", "str", Rule::Str, Default::Required}};

Ref EasyMailer_attach_file(FunctionObject*, Args<attach_file_params> args) {
    PyObject* msg = args["msg"];
    PyObject* filepath = args["filepath"];
    Ref path = call(mailer_module.global(n_Path), filepath);
    // Only a regular file: a directory, a FIFO or a device is refused before
    // anything is opened.
    if (!truth(call_method(path, n_is_file))) {
        raise_format(PyExc_FileNotFoundError, "Attachment not found: %U", filepath);
    }
    Ref path_text = checked(PyObject_Str(path.get()));
    Ref content_type = or_octet_stream(guessed_type(path_text.get()));
    Ref part = make_part(content_type.get());
    Ref file = call(builtin_open, path, t_rb.get());
    with(file.get(),
         [&](PyObject* f) { call_method(part, n_set_payload, call_method(f, n_read)); });
    finish_part(msg, part, [&] { return getattr(path, n_name); });
    return none();
}

const Signature attach_file_signature = define<EasyMailer_attach_file>({
    .name = "_attach_file",
    .doc = "Attach a file from a file path.",
    .returns = "None",
});

constexpr Param attach_binary_params[] = {msg_param,
                                          {"item", "Dict", Rule::Dict, Default::Required}};

Ref EasyMailer_attach_binary(FunctionObject*, Args<attach_binary_params> args) {
    PyObject* msg = args["msg"];
    PyObject* item = args["item"];
    Ref filename = checked(PyObject_GetItem(item, n_filename.get()));
    Ref data = checked(PyObject_GetItem(item, n_data.get()));
    PyObject* given = nullptr;
    checked(PyDict_GetItemRef(item, n_content_type.get(), &given));
    Ref content_type = Ref::steal(given);
    if (!content_type || !truth(content_type)) {
        content_type = or_octet_stream(guessed_type(filename.get()));
    }
    Ref part = make_part(content_type.get());
    call_method(part, n_set_payload, data);
    finish_part(msg, part, [&] { return checked(PyObject_Format(filename.get(), t_empty.get())); });
    return none();
}

const Signature attach_binary_signature = define<EasyMailer_attach_binary>({
    .name = "_attach_binary",
    .doc = "Attach binary data.\n"
           "\n"
           "        Args:\n"
           "            item: {\"filename\": \"name.png\", \"data\": bytes, \"content_type\": "
           "\"image/png\"}\n"
           "                  content_type is optional, auto-detected from filename.\n"
           "        ",
    .returns = "None",
});

constexpr Param add_params[] = {{"val", optional_addresses, Rule::Any, Default::Required}};

// _add(val): the rule for one address argument, closing over the list.
Ref collect_add(FunctionObject* add, Args<add_params> args) {
    Ref recipients = closure_of(add);
    PyObject* val = args["val"];
    if (val == Py_None) return none();
    if (PyUnicode_Check(val)) {
        checked(PyList_Append(recipients.get(), val));
    } else {
        checked(PyList_Extend(recipients.get(), val));
    }
    return none();
}

const Signature add_signature = define<collect_add>({
    .name = "_add",
    .qualname = "EasyMailer._collect_recipients.<locals>._add",
    .returns = "None",
});

constexpr Param collect_recipients_params[] = {to_param, required(cc_param), required(bcc_param)};

Ref EasyMailer_collect_recipients(FunctionObject*, Args<collect_recipients_params> args) {
    Ref recipients = checked(PyList_New(0));
    Ref add = mailer_module.function(add_signature, recipients.get());
    call(add, args["to"]);
    call(add, args["cc"]);
    call(add, args["bcc"]);
    return recipients;
}

const Signature collect_recipients_signature = define<EasyMailer_collect_recipients>({
    .name = "_collect_recipients",
    .returns = "List[str]",
});

constexpr Param do_send_params[] = {
    self_param,
    msg_param,
    {"recipients", "List[str]", Rule::List, Default::Required},
    {"sender", "str", Rule::Str, Default::Required},
};

Ref EasyMailer_do_send(FunctionObject*, Args<do_send_params> args) {
    PyObject* mailer = args["self"];
    Opened opened = open_connection(mailer_module, mailer);
    Ref refused;
    with(opened.connection.get(), [&](PyObject* connected) {
        log_in(mailer, connected, opened);
        Ref text = call_method(args["msg"], n_as_string);
        refused = call_method(connected, n_sendmail, args["sender"], args["recipients"], text);
    });
    check_refused(mailer_module, refused.get());
    return none();
}

const Signature do_send_signature = define<EasyMailer_do_send>({
    .name = "_do_send",
    .returns = "None",
});

constexpr const char* class_doc =
    "\n"
    "    简易邮件发送工具,支持纯文本、HTML格式以及基于模板的邮件发送。\n"
    "\n"
    "    使用示例：\n"
    "        mailer = EasyMailer(\n"
    "            host=\"smtp.example.com\",\n"
    "            port=465,\n"
    "            username=\"sender@example.com\",\n"
    "            password=\"your-password\",\n"
    "            use_ssl=True,\n"
    "        )\n"
    "        mailer.send(\n"
    "            to=\"recipient@example.com\",\n"
    "            subject=\"Hello\",\n"
    "            body=\"This is a test email.\",\n"
    "        )\n"
    "    ";

// A built-in taken from the builtins module at import.
PyObject* keep_builtin(ModuleFrame& frame, const char* name) {
    PyObject* value = nullptr;
    checked(PyDict_GetItemStringRef(frame.builtins, name, &value));
    if (!value) raise_format(PyExc_NameError, "name '%s' is not defined", name);
    return value;
}

void module_body(ModuleFrame& frame, PyObject*) {
    if (!builtin_open) builtin_open = keep_builtin(frame, "open");

    frame.import("smtplib");
    frame.import("ssl");
    frame.import("mimetypes");
    frame.import_from("datetime", {"datetime"});
    frame.import_from("email.mime.multipart", {"MIMEMultipart"});
    frame.import_from("email.mime.text", {"MIMEText"});
    frame.import_from("email.mime.base", {"MIMEBase"});
    frame.import_from("email", {"encoders"});
    frame.import_from("email.utils", {"formataddr", "formatdate"});
    frame.import_from("typing", {"List", "Optional", "Union", "Dict"});
    frame.import_from("pathlib", {"Path"});
    frame.import_from("template", {"TemplateEngine"}, 1);

    Ref mailer = frame.make_class("EasyMailer", class_doc,
                                  {init_signature,
                                   send_signature,
                                   send_template_signature,
                                   build_message_signature,
                                   {attach_file_signature, Method::Static},
                                   {attach_binary_signature, Method::Static},
                                   {collect_recipients_signature, Method::Static},
                                   do_send_signature});
    frame.bind("EasyMailer", mailer.get());
}

} // namespace

PyMODINIT_FUNC PyInit_mailer() noexcept {
    return mailer_module.init();
}
