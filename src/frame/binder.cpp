// The argument binder and the parameter rules, with the interpreter-facing
// wordings of every TypeError they raise.
#include "frame/native.hpp"
#include "frame/prototype.hpp"

#include <charconv>
#include <cstdio>
#include <cstring>

namespace vantrel {

namespace {

// "send() takes at least 3 positional arguments (2 given)".  Everything up to
// the count is written once per function by prepare_count_texts, so a failed
// call formats only the number.
void raise_count(const Prototype& p, bool too_few, Py_ssize_t given) {
    const char* start = too_few ? p.too_few : p.too_many;
    const std::size_t length = too_few ? p.too_few_length : p.too_many_length;
    constexpr char tail[] = " given)";
    char text[count_text_size + 24 + sizeof tail];
    std::memcpy(text, start, length);
    char* end = std::to_chars(text + length, text + length + 24, given).ptr;
    std::memcpy(end, tail, sizeof tail - 1);
    end += sizeof tail - 1;
    Ref message = Ref::steal(PyUnicode_DecodeUTF8(text, end - text, "replace"));
    if (message) PyErr_SetObject(PyExc_TypeError, message.get());
}

// Fills `bound` with one borrowed object per parameter; false with TypeError
// set when the arguments do not fit the parameters.
bool bind(const Prototype& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** bound) {
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw == 0) {
        if (nargs < p.required || nargs > p.count) {
            raise_count(p, nargs < p.required, nargs);
            return false;
        }
        Py_ssize_t i = 0;
        for (; i < nargs; ++i)
            bound[i] = args[i];
        for (; i < p.count; ++i)
            bound[i] = PyTuple_GET_ITEM(p.defaults, i - p.required);
        return true;
    }
    if (nargs > p.count) {
        raise_count(p, false, nargs);
        return false;
    }
    Py_ssize_t i = 0;
    for (; i < nargs; ++i)
        bound[i] = args[i];
    for (; i < p.count; ++i)
        bound[i] = nullptr;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", p.bare_name);
            return false;
        }
        Py_ssize_t index = -1;
        for (Py_ssize_t j = 0; j < p.count; ++j) {
            if (p.names[j] == key) {
                index = j;
                break;
            }
        }
        if (index < 0) {
            for (Py_ssize_t j = 0; j < p.count; ++j) {
                if (PyUnicode_Compare(p.names[j], key) == 0) {
                    index = j;
                    break;
                }
            }
        }
        if (index < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         p.bare_name, key);
            return false;
        }
        if (bound[index]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         p.bare_name, key);
            return false;
        }
        bound[index] = args[nargs + k];
    }
    for (Py_ssize_t j = nargs; j < p.count; ++j) {
        if (bound[j]) continue;
        if (j < p.required) {
            raise_count(p, true, j);
            return false;
        }
        bound[j] = PyTuple_GET_ITEM(p.defaults, j - p.required);
    }
    return true;
}

const char* expected_name(Rule rule) {
    switch (rule) {
    case Rule::Str:
    case Rule::OptStr:
        return "str";
    case Rule::List:
    case Rule::OptList:
        return "list";
    case Rule::Dict:
    case Rule::OptDict:
        return "dict";
    default:
        return "int";
    }
}

PyTypeObject* expected_type(Rule rule) {
    switch (rule) {
    case Rule::Str:
    case Rule::OptStr:
        return &PyUnicode_Type;
    case Rule::List:
    case Rule::OptList:
        return &PyList_Type;
    case Rule::Dict:
    case Rule::OptDict:
        return &PyDict_Type;
    default:
        return &PyLong_Type;
    }
}

} // namespace

// Types go by their C-level name, as in the interpreter's own messages: a
// class written in Python by its bare name, a type from C with its module
// ("collections.OrderedDict").
PyObject* instance_of(PyObject* object, PyTypeObject* type, const char* method) {
    if (!PyObject_TypeCheck(object, type)) {
        raise_format(PyExc_TypeError,
                     "descriptor '%s' for '%s' objects doesn't apply to a '%s' object", method,
                     type->tp_name, Py_TYPE(object)->tp_name);
    }
    return object;
}

void set_incorrect_type(const char* param, const char* expected, PyTypeObject* expected_type,
                        PyObject* value) noexcept {
    PyTypeObject* got = Py_TYPE(value);
    const char* got_text = got->tp_name;
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param,
                 expected, got_text);
    if (!expected_type || !PyType_IsSubtype(got, expected_type)) return;
    Ref error = Ref::steal(PyErr_GetRaisedException());
    const char* article = expected[0] && std::strchr("aeiou", expected[0]) ? "an" : "a";
    Ref note = Ref::steal(PyUnicode_FromFormat(
        "Exact built-in types are required: '%s' takes %s %s itself, and instances of "
        "subclasses of built-in types such as %s are rejected.",
        param, article, expected, got_text));
    if (note) {
        Ref added = Ref::steal(PyObject_CallMethod(error.get(), "add_note", "O", note.get()));
        if (!added) return; // the error from add_note replaces the TypeError
    }
    PyErr_SetRaisedException(error.release());
}

namespace {

// Applies a parameter's test; false with TypeError set when it fails.
inline bool passes(Rule rule, PyObject* value) {
    switch (rule) {
    case Rule::Str:
        return PyUnicode_CheckExact(value);
    case Rule::OptStr:
        return value == Py_None || PyUnicode_CheckExact(value);
    case Rule::List:
        return PyList_CheckExact(value);
    case Rule::OptList:
        return value == Py_None || PyList_CheckExact(value);
    case Rule::Dict:
        return PyDict_CheckExact(value);
    case Rule::OptDict:
        return value == Py_None || PyDict_CheckExact(value);
    case Rule::Int:
        return PyLong_CheckExact(value);
    default:
        return true;
    }
}

bool check_types(const Prototype& p, PyObject* const* bound) {
    for (Py_ssize_t i = 0; i < p.count; ++i) {
        const Rule rule = p.params[i].rule;
        if (rule == Rule::Any || rule == Rule::Truth) continue;
        if (!passes(rule, bound[i])) {
            set_incorrect_type(p.params[i].name, expected_name(rule), expected_type(rule),
                               bound[i]);
            return false;
        }
    }
    return true;
}

// Runs the int conversions and truth values, in parameter order, keeping the
// converted objects alive in `converted`.
bool convert(const Prototype& p, PyObject** bound, Ref* converted) {
    for (Py_ssize_t i = 0; i < p.count; ++i) {
        PyObject* value = bound[i];
        if (p.params[i].rule == Rule::Int) {
            // What is no number is left for the type test, which runs after
            // every conversion and rejects it in parameter order.
            if (PyLong_CheckExact(value) || !PyNumber_Check(value)) continue;
            converted[i] = Ref::steal(PyNumber_Long(value));
            if (!converted[i]) return false;
            bound[i] = converted[i].get();
        } else if (p.params[i].rule == Rule::Truth) {
            const int truth_value = PyObject_IsTrue(value);
            if (truth_value < 0) return false;
            bound[i] = truth_value ? Py_True : Py_False;
        }
    }
    return true;
}

// The body's result, released to the caller once it has passed the check.
PyObject* check_result(const Prototype& p, Ref result) {
    PyObject* object = result.get();
    if (!object || p.result == Result::Any || PyUnicode_CheckExact(object) ||
        (p.result == Result::OptStr && object == Py_None))
        return result.release();
    raise_format(PyExc_TypeError, "Expected %s, got %.200s", "str", Py_TYPE(object)->tp_name);
}

PyObject* run_body(FunctionObject* self, const Prototype& p, PyObject* const* bound) noexcept {
    return guarded([&] { return check_result(p, p.body(self, bound)); }, nullptr);
}

} // namespace

void prepare_count_texts(Prototype& p) {
    const bool exact = p.required == p.count;
    auto write = [&](char* out, bool too_few) {
        const char* how = exact ? "exactly" : too_few ? "at least" : "at most";
        const Py_ssize_t bound = (too_few && !exact) ? p.required : p.count;
        const int length =
            std::snprintf(out, count_text_size, "%.200s() takes %.8s %zd positional argument%.1s (",
                          p.bare_name, how, bound, bound == 1 ? "" : "s");
        return static_cast<std::size_t>(length);
    };
    p.too_few_length = write(p.too_few, true);
    p.too_many_length = write(p.too_many, false);
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) noexcept {
    FunctionObject* self = as<FunctionObject>(callable);
    const Prototype& p = *self->prototype;
    PyObject* bound[max_params];
    if (!bind(p, args, PyVectorcall_NARGS(nargsf), kwnames, bound)) return nullptr;
    if (!p.converts) {
        if (!check_types(p, bound)) return nullptr;
        return run_body(self, p, bound);
    }
    Ref converted[max_params];
    if (!convert(p, bound, converted) || !check_types(p, bound)) return nullptr;
    return run_body(self, p, bound);
}

} // namespace vantrel
