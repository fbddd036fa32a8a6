"""What `import vantrel.mailer` shows: its namespace, the EasyMailer class and
the methods' signatures, annotations and docstrings, plus the binder's
wordings as they surface through the mailer's methods."""

import builtins
import collections
import email.encoders
import email.mime.base
import email.mime.multipart
import email.mime.text
import email.utils
import mimetypes
import pathlib
import re
import smtplib
import ssl
import sys
import typing
from datetime import datetime

import pytest

import vantrel.mailer as mailer
import vantrel.template
from vantrel.mailer import EasyMailer
from wordings import count, incorrect_type, multiple, unexpected

EXPECTED_NAMES = [
    ("smtplib", smtplib),
    ("ssl", ssl),
    ("mimetypes", mimetypes),
    ("datetime", datetime),
    ("MIMEMultipart", email.mime.multipart.MIMEMultipart),
    ("MIMEText", email.mime.text.MIMEText),
    ("MIMEBase", email.mime.base.MIMEBase),
    ("encoders", email.encoders),
    ("formataddr", email.utils.formataddr),
    ("formatdate", email.utils.formatdate),
    ("List", typing.List),
    ("Optional", typing.Optional),
    ("Union", typing.Union),
    ("Dict", typing.Dict),
    ("Path", pathlib.Path),
    ("TemplateEngine", vantrel.template.TemplateEngine),
]


def test_module_namespace_in_binding_order():
    ns = vars(mailer)
    own = [n for n in ns if not n.startswith("__")]
    assert own == [n for n, _ in EXPECTED_NAMES] + ["EasyMailer"]
    for name, obj in EXPECTED_NAMES:
        assert ns[name] is obj, name
    # datetime is the class, encoders the module
    assert isinstance(mailer.datetime, type)
    assert mailer.encoders.__name__ == "email.encoders"
    assert mailer.__builtins__ is builtins
    assert {n for n in ns if n.startswith("__")} == {
        "__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__",
        "__builtins__",
    }
    assert mailer.__doc__ is None
    assert mailer.__name__ == "vantrel.mailer"
    assert mailer.__package__ == "vantrel"
    assert sys.modules["vantrel.template"] is vantrel.template


def test_class_shape():
    assert type(EasyMailer) is type
    assert EasyMailer.__mro__ == (EasyMailer, object)
    assert EasyMailer.__name__ == EasyMailer.__qualname__ == "EasyMailer"
    assert EasyMailer.__module__ == "vantrel.mailer"
    assert list(EasyMailer.__dict__) == [
        "__module__", "__doc__", "__init__", "send", "send_template", "_build_message",
        "_attach_file", "_attach_binary", "_collect_recipients", "_do_send",
        "__dict__", "__weakref__",
    ]
    assert "__slots__" not in EasyMailer.__dict__


STATIC = ["_attach_file", "_attach_binary", "_collect_recipients"]
INSTANCE = ["__init__", "send", "send_template", "_build_message", "_do_send"]


def test_method_kinds():
    d = EasyMailer.__dict__
    function_type = type(d["send"])
    for name in STATIC:
        assert type(d[name]) is staticmethod, name
        assert type(d[name].__func__) is function_type, name
        assert getattr(EasyMailer, name) is d[name].__func__
    for name in INSTANCE:
        assert type(d[name]) is function_type, name
    assert function_type not in (staticmethod, classmethod)
    m = EasyMailer("smtp.example.com", 465, "user@example.com", "secret")
    assert m.send.__self__ is m and m.send.__func__ is d["send"]
    assert m._collect_recipients is d["_collect_recipients"].__func__


RECIPIENTS = "Union[str, List[str]]"
OPT_RECIPIENTS = "Optional[Union[str, List[str]]]"
ATTACHMENTS = "Optional[List[Union[str, Dict]]]"
OPT_STR = "Optional[str]"

ANNOTATIONS = {
    "__init__": [("host", "str"), ("port", "int"), ("username", "str"), ("password", "str"),
                 ("use_ssl", "bool"), ("use_tls", "bool"), ("default_sender", OPT_STR),
                 ("template_dir", OPT_STR)],
    "send": [("to", RECIPIENTS), ("subject", "str"), ("body", OPT_STR), ("html", OPT_STR),
             ("cc", OPT_RECIPIENTS), ("bcc", OPT_RECIPIENTS), ("sender", OPT_STR),
             ("sender_name", OPT_STR), ("attachments", ATTACHMENTS), ("reply_to", OPT_STR),
             ("return", "None")],
    "send_template": [("to", RECIPIENTS), ("subject", "str"), ("template_name", "str"),
                      ("context", "Optional[dict]"), ("cc", OPT_RECIPIENTS),
                      ("bcc", OPT_RECIPIENTS), ("sender", OPT_STR), ("sender_name", OPT_STR),
                      ("attachments", ATTACHMENTS), ("reply_to", OPT_STR), ("return", "None")],
    "_build_message": [("to", RECIPIENTS), ("subject", "str"), ("body", OPT_STR),
                       ("html", OPT_STR), ("cc", OPT_RECIPIENTS), ("sender", OPT_STR),
                       ("sender_name", OPT_STR), ("attachments", ATTACHMENTS),
                       ("reply_to", OPT_STR), ("return", "MIMEMultipart")],
    "_attach_file": [("msg", "MIMEMultipart"), ("filepath", "str"), ("return", "None")],
    "_attach_binary": [("msg", "MIMEMultipart"), ("item", "Dict"), ("return", "None")],
    "_collect_recipients": [("to", RECIPIENTS), ("cc", OPT_RECIPIENTS), ("bcc", OPT_RECIPIENTS),
                            ("return", "List[str]")],
    "_do_send": [("msg", "MIMEMultipart"), ("recipients", "List[str]"), ("sender", "str"),
                 ("return", "None")],
}

DEFAULTS = {
    "__init__": (True, False, None, None),
    "send": (None,) * 8,
    "send_template": (None,) * 7,
    "_build_message": None,
    "_attach_file": None,
    "_attach_binary": None,
    "_collect_recipients": None,
    "_do_send": None,
}


@pytest.mark.parametrize("name", INSTANCE + STATIC)
def test_function_attributes(name):
    f = getattr(EasyMailer, name)
    assert f.__name__ == name
    assert f.__qualname__ == "EasyMailer." + name
    assert f.__module__ == "vantrel.mailer"
    assert f.__defaults__ == DEFAULTS[name]
    assert f.__kwdefaults__ is None
    assert list(f.__annotations__.items()) == ANNOTATIONS[name]
    assert f.__annotate__(1) == f.__annotations__
    if name in ("_build_message", "_collect_recipients", "_do_send"):
        assert f.__doc__ is None


def lines(*rows):
    return "\n".join(rows)


DOCS = {
    "__init__": lines(
        "",
        "        初始化邮件发送器。",
        "",
        "        参数说明：",
        "            host: SMTP 服务器地址",
        "            port: SMTP 服务器端口(465 对应SSL加密,587对应TLS加密,25为无加密明文端口)",
        "            username: SMTP 登录账号",
        "            password: SMTP 登录密码",
        "            use_ssl: 是否启用SSL连接(通常搭配465端口使用)",
        "            use_tls: 是否启用STARTTLS加密升级(通常搭配587端口使用),不可与use_ssl同时开启",
        "            default_sender: 默认发件邮箱,未配置时将使用登录账号username作为发件人",
        "            template_dir: 自定义邮件模板目录路径;传None则使用内置模板",
        "        ",
    ),
    "send": lines(
        "",
        "        发送邮件。",
        "",
        "        参数说明：",
        "            to: 收件人邮箱（可多个）",
        "            subject: 邮件主题",
        "            body: 纯文本正文",
        "            html: HTML格式正文,若同时传入body与html,优先使用html内容",
        "            cc: 抄送邮箱列表",
        "            bcc: 密送邮箱列表",
        "            sender: 发件人邮箱，会覆盖默认发件人配置",
        "            sender_name: 发件人对外显示名称",
        "            attachments: 附件列表，列表元素支持两种格式：",
        "                - 字符串：待附加文件的本地路径",
        '                - 字典：{"filename": "name.png", "data": bytes, "content_type": "image/png"}',
        "                (content_type 选填，未指定时将根据文件名自动识别文件类型)",
        "            reply_to: 回复收件邮箱地址",
        "        ",
    ),
    "send_template": lines(
        "",
        "        使用模板发送邮件。",
        "",
        "        参数说明：",
        "            to: 收件人邮箱地址（支持多个地址）",
        "            subject: 邮件主题（同样支持通过 context 传入 Jinja2 变量渲染）",
        "            template_name: 模板名称（无需填写文件后缀）",
        "            context: 用于渲染模板的变量字典",
        "            cc: 抄送邮箱列表",
        "            bcc: 密送邮箱列表",
        "            sender: 发件人邮箱地址",
        "            sender_name: 发件人展示名称",
        "            attachments: 附件列表，列表内元素支持两种格式：",
        "                - 字符串：本地文件路径，直接作为附件上传",
        '                - 字典：{"filename": "name.png", "data": bytes, "content_type": "image/png"}',
        "                (content_type 为选填项，不传时会根据文件名自动识别文件类型)",
        "            reply_to: 回复邮箱地址",
        "        ",
    ),
    "_attach_file": "Attach a file from a file path.",
    "_attach_binary": lines(
        "Attach binary data.",
        "",
        "        Args:",
        '            item: {"filename": "name.png", "data": bytes, "content_type": "image/png"}',
        "                  content_type is optional, auto-detected from filename.",
        "        ",
    ),
}


@pytest.mark.parametrize("name", sorted(DOCS))
def test_method_docstrings(name):
    assert getattr(EasyMailer, name).__doc__ == DOCS[name]


# The example values in the class docstring are placeholders: only names that
# can never belong to a real host (RFC 2606 / RFC 6761) are acceptable.
def reserved_domain(domain):
    labels = domain.lower().split(".")
    if labels[-1] in ("test", "example", "invalid", "localhost"):
        return True
    return len(labels) >= 2 and labels[-2] == "example" and labels[-1] in ("com", "org", "net")


def test_class_docstring():
    doc = EasyMailer.__doc__.split("\n")
    assert len(doc) == 17
    fixed = {
        1: "",
        2: "    简易邮件发送工具,支持纯文本、HTML格式以及基于模板的邮件发送。",
        3: "",
        4: "    使用示例：",
        5: "        mailer = EasyMailer(",
        7: "            port=465,",
        10: "            use_ssl=True,",
        11: "        )",
        12: "        mailer.send(",
        14: '            subject="Hello",',
        15: '            body="This is a test email.",',
        16: "        )",
        17: "    ",
    }
    for number, text in fixed.items():
        assert doc[number - 1] == text, number

    def value(number, keyword):
        m = re.fullmatch(' {12}%s="([^"\\s]+)",' % keyword, doc[number - 1])
        assert m, doc[number - 1]
        return m.group(1)

    assert reserved_domain(value(6, "host"))
    for number, keyword in ((8, "username"), (13, "to")):
        local, _, domain = value(number, keyword).partition("@")
        assert local and reserved_domain(domain), doc[number - 1]
    assert value(9, "password")


# Should a check below let a call through, the mailer fails fast on a refused
# local connection instead of reaching out anywhere.
M = EasyMailer("127.0.0.1", 1, "user@example.com", "secret", use_ssl=False)


@pytest.mark.parametrize(
    "call, text",
    [
        (lambda: EasyMailer("smtp.example.com"), count("__init__", 5, 9, 2)),
        # with keywords, the count is the position of the first missing parameter
        (lambda: EasyMailer(host="h", port=1, password="p"), count("__init__", 5, 9, 3)),
        (lambda: EasyMailer("h", 1, "u", "p", True, False, None, None, "x", host="h"),
         count("__init__", 5, 9, 10)),
        (lambda: EasyMailer("h", 1, "u", "p", host="h"), multiple("__init__", "host")),
        (lambda: M.send(*range(11)), count("send", 3, 11, 12)),
        (lambda: M.send("a@example.com", "s", to="b@example.com"), multiple("send", "to")),
        (lambda: M.send("a@example.com", "s", foo=1), unexpected("send", "foo")),
        (lambda: EasyMailer._attach_file(None), count("_attach_file", 2, 2, 1)),
        (lambda: EasyMailer._collect_recipients("a", None), count("_collect_recipients", 3, 3, 2)),
        (lambda: M._build_message("a", "s"), count("_build_message", 10, 10, 3)),
    ],
)
def test_binding_errors(call, text):
    with pytest.raises(TypeError) as info:
        call()
    assert info.value.args == (text,)


class Str(str):
    pass


@pytest.mark.parametrize(
    "call, text",
    [
        (lambda: M.send("a@example.com", None), incorrect_type("subject", "str", "NoneType")),
        (lambda: M.send("a@example.com", "s", attachments=("f.txt",)),
         incorrect_type("attachments", "list", "tuple")),
        (lambda: M.send_template("a@example.com", "s", "t", context=[]),
         incorrect_type("context", "dict", "list")),
        (lambda: M.send_template("a@example.com", "s", "t", context=collections.OrderedDict()),
         incorrect_type("context", "dict", "collections.OrderedDict")),
    ],
)
def test_type_errors(call, text):
    with pytest.raises(TypeError) as info:
        call()
    assert info.value.args == (text,)
    assert hasattr(info.value, "__notes__") == ("OrderedDict" in text)


def test_subclass_of_exact_type_gets_a_note():
    with pytest.raises(TypeError) as info:
        M.send("a@example.com", Str("s"))
    assert info.value.args == (incorrect_type("subject", "str", "Str"),)
    [note] = info.value.__notes__
    assert "exact" in note.lower()
