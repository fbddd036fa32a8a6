"""The argument binder's wordings, in one table for every test that predicts
them: test_frame, test_mailer_surface, the fuzz tests and the leak hunt."""

import ctypes

WORDINGS = {
    "count": "{name}() takes {how} {bound} positional argument{s} ({given} given)",
    "multiple": "{name}() got multiple values for keyword argument '{key}'",
    "unexpected": "{name}() got an unexpected keyword argument '{key}'",
    "keyword type": "{name}() keywords must be strings",
    "type": "Argument '{param}' has incorrect type (expected {expected}, got {got})",
    "result": "Expected {expected}, got {got}",
}


def count(name, required, total, given):
    """Too few (given < required) or too many positional arguments for a
    function with `total` parameters, the first `required` of them required."""
    too_few = given < required
    how = "exactly" if required == total else "at least" if too_few else "at most"
    bound = required if too_few and required != total else total
    return WORDINGS["count"].format(name=name, how=how, bound=bound,
                                    s="" if bound == 1 else "s", given=given)


def multiple(name, key):
    return WORDINGS["multiple"].format(name=name, key=key)


def unexpected(name, key):
    return WORDINGS["unexpected"].format(name=name, key=key)


def keyword_type(name):
    return WORDINGS["keyword type"].format(name=name)


def incorrect_type(param, expected, got):
    """`got` is the type's name as the message shows it (see type_name)."""
    return WORDINGS["type"].format(param=param, expected=expected, got=got)


def wrong_result(got, expected="str"):
    return WORDINGS["result"].format(expected=expected, got=got)


# PyTypeObject starts with a PyVarObject header: a PyObject header (the size
# of a plain object) and ob_size; tp_name comes next.
_TP_NAME = object.__basicsize__ + ctypes.sizeof(ctypes.c_ssize_t)


def type_name(kind):
    """A type's C-level name (tp_name), which the messages show as the
    interpreter's own do: the bare name for a class defined in Python, the
    dotted one for a type from C ("collections.OrderedDict")."""
    return ctypes.c_char_p.from_address(id(kind) + _TP_NAME).value.decode()
