// The native function type: a callable with vectorcall that binds to
// instances like a Python function and shows the same attributes.
#include "frame/calls.hpp"
#include "frame/native.hpp"
#include "frame/prototype.hpp"

#include <cstddef>
#include <cstring>
#include <memory>
#include <new>

namespace vantrel {

namespace {

Name inspect_name{"inspect"};
Name parameter_name{"Parameter"};
Name signature_name{"Signature"};
Name kind_name{"POSITIONAL_OR_KEYWORD"};
Name empty_name{"empty"};
Name return_name{"return"};
KwNames parameter_keywords{"default", "annotation"};
KwNames annotation_keyword{"annotation"};
KwNames return_keyword{"return_annotation"};

using FunctionFields =
    Fields<FunctionObject, &FunctionObject::name, &FunctionObject::qualname,
           &FunctionObject::module, &FunctionObject::doc, &FunctionObject::globals,
           &FunctionObject::closure, &FunctionObject::dict>;

// Breaks cycles.  The name and qualified name are strings, which hold
// nothing, so they stay for repr() and the getters of a cleared function.
constexpr auto function_clear =
    FunctionFields::clear_all_but<&FunctionObject::name, &FunctionObject::qualname>;

PyObject* function_repr(PyObject* object) noexcept {
    return PyUnicode_FromFormat("<function %U at %p>", as<FunctionObject>(object)->qualname,
                                object);
}

// Bound to an instance it gives an ordinary method object; looked up on the
// class (no instance) it gives itself, as a Python function does.
PyObject* function_get(PyObject* self, PyObject* instance, PyObject*) noexcept {
    if (!instance || instance == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, instance);
}

PyObject* get_name(PyObject* self, void*) noexcept {
    return Py_NewRef(as<FunctionObject>(self)->name);
}
PyObject* get_qualname(PyObject* self, void*) noexcept {
    return Py_NewRef(as<FunctionObject>(self)->qualname);
}
// The fields that clearing may have emptied read as None.
PyObject* field_or_none(PyObject* field) noexcept {
    return Py_NewRef(field ? field : Py_None);
}
PyObject* get_module(PyObject* self, void*) noexcept {
    return field_or_none(as<FunctionObject>(self)->module);
}
PyObject* get_doc(PyObject* self, void*) noexcept {
    return field_or_none(as<FunctionObject>(self)->doc);
}
// The module namespace, where tools such as typing.get_type_hints() resolve
// the annotation strings.
PyObject* get_globals(PyObject* self, void*) noexcept {
    return field_or_none(as<FunctionObject>(self)->globals);
}

int set_text(PyObject*& field, PyObject* value, const char* what) noexcept {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_XSETREF(field, Py_NewRef(value));
    return 0;
}

int set_name(PyObject* self, PyObject* value, void*) noexcept {
    return set_text(as<FunctionObject>(self)->name, value, "__name__");
}
int set_qualname(PyObject* self, PyObject* value, void*) noexcept {
    return set_text(as<FunctionObject>(self)->qualname, value, "__qualname__");
}
int set_any(PyObject*& field, PyObject* value) noexcept {
    Py_XSETREF(field, Py_NewRef(value ? value : Py_None));
    return 0;
}
int set_module(PyObject* self, PyObject* value, void*) noexcept {
    return set_any(as<FunctionObject>(self)->module, value);
}
int set_doc(PyObject* self, PyObject* value, void*) noexcept {
    return set_any(as<FunctionObject>(self)->doc, value);
}

PyObject* get_defaults(PyObject* self, void*) noexcept {
    return Py_NewRef(as<FunctionObject>(self)->prototype->defaults);
}
PyObject* get_none(PyObject*, void*) noexcept {
    Py_RETURN_NONE;
}
PyObject* get_annotations(PyObject* self, void*) noexcept {
    return Py_NewRef(as<FunctionObject>(self)->prototype->annotations);
}

// __annotate__(format): the annotations are plain strings already, so VALUE,
// VALUE_WITH_FAKE_GLOBALS, FORWARDREF and STRING all give the same dict.
PyObject* annotate(PyObject* self, PyObject* format) noexcept {
    const long value = PyLong_Check(format) ? PyLong_AsLong(format) : -1;
    if (value == -1 && PyErr_Occurred()) return nullptr;
    if (value < 1 || value > 4) {
        PyErr_SetNone(PyExc_NotImplementedError);
        return nullptr;
    }
    return Py_NewRef(as<FunctionObject>(self)->prototype->annotations);
}

PyMethodDef annotate_def = {"__annotate__", annotate, METH_O,
                            "Return the annotations of the function for the given format."};

PyObject* get_annotate(PyObject* self, void*) noexcept {
    return PyCFunction_NewEx(&annotate_def, self, nullptr);
}

// A new reference to a parameter's default value.
Ref default_object(const Param& param) {
    switch (param.value) {
    case Default::True:
        return Ref::borrow(Py_True);
    case Default::False:
        return Ref::borrow(Py_False);
    case Default::Int:
        return checked(PyLong_FromLong(param.number));
    case Default::Float:
        return checked(PyFloat_FromDouble(param.real));
    default:
        return Ref::borrow(Py_None);
    }
}

// An inspect.Signature with the real parameters, defaults and annotations,
// so that inspect.signature(), help() and type checkers' tools see them.
PyObject* get_signature(PyObject* self, void*) noexcept {
    return guarded(
        [&] {
            const Prototype& p = *as<FunctionObject>(self)->prototype;
            Ref inspect = checked(PyImport_Import(inspect_name.get()));
            Ref parameter = getattr(inspect, parameter_name);
            Ref signature = getattr(inspect, signature_name);
            Ref kind = getattr(parameter, kind_name);
            Ref empty = getattr(parameter, empty_name);
            // The annotation stored for a name, or inspect's marker for none.
            auto annotation_of = [&](PyObject* name) {
                PyObject* found = nullptr;
                checked(PyDict_GetItemRef(p.annotations, name, &found));
                return found ? Ref::steal(found) : empty;
            };
            Ref params = checked(PyList_New(p.count));
            for (Py_ssize_t i = 0; i < p.count; ++i) {
                Ref annotation = annotation_of(p.names[i]);
                Ref item =
                    p.params[i].value == Default::Required
                        ? call_kw(parameter, annotation_keyword, p.names[i], kind, annotation)
                        : call_kw(parameter, parameter_keywords, p.names[i], kind,
                                  PyTuple_GET_ITEM(p.defaults, i - p.required), annotation);
                PyList_SET_ITEM(params.get(), i, item.release());
            }
            Ref returns = annotation_of(return_name.get());
            return call_kw(signature, return_keyword, params, returns).release();
        },
        nullptr);
}

// Pickled, like a Python function, as a reference to where it is defined.
PyObject* function_reduce(PyObject* self, PyObject*) noexcept {
    return Py_NewRef(as<FunctionObject>(self)->qualname);
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {"__annotate__", get_annotate, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY,
     nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, weakrefs), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    type_slot(Py_tp_dealloc, FunctionFields::dealloc),
    type_slot(Py_tp_traverse, FunctionFields::traverse),
    type_slot(Py_tp_clear, function_clear),
    type_slot(Py_tp_repr, function_repr),
    type_slot(Py_tp_call, PyVectorcall_Call),
    type_slot(Py_tp_descr_get, function_get),
    type_slot(Py_tp_methods, function_methods),
    type_slot(Py_tp_getset, function_getset),
    type_slot(Py_tp_members, function_members),
    {},
};

PyType_Spec function_spec = {
    .name = "vantrel.function",
    .basicsize = sizeof(FunctionObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
             Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE |
             Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = function_slots,
};

PyTypeObject* ready_type() {
    if (!FunctionObject::type) {
        FunctionObject::type =
            reinterpret_cast<PyTypeObject*>(checked(PyType_FromSpec(&function_spec)).release());
    }
    return FunctionObject::type;
}

Ref text_or_none(const char* text) {
    return text ? checked(PyUnicode_FromString(text)) : Ref::borrow(Py_None);
}

} // namespace

const Prototype* prepare(const Signature& signature, const char* owner) {
    if (signature.prepared) return signature.prepared;
    ready_type();
    const Description& description = signature.description;
    auto p = std::make_unique<Prototype>();
    p->count = static_cast<Py_ssize_t>(signature.params.size());
    p->result = description.result;
    p->body = signature.body;
    p->returns = description.returns;
    p->bare_name = description.name;
    p->params = signature.params;
    Py_ssize_t i = 0;
    for (const Param& param : signature.params) {
        if (param.value == Default::Required) p->required = i + 1;
        if (param.rule == Rule::Int || param.rule == Rule::Truth) p->converts = true;
        p->names[i] = checked(PyUnicode_InternFromString(param.name)).release();
        ++i;
    }
    p->name = checked(PyUnicode_InternFromString(description.name)).release();
    p->qualname =
        description.qualname ? checked(PyUnicode_FromString(description.qualname)).release()
        : owner ? checked(PyUnicode_FromFormat("%s.%s", owner, description.name)).release()
                : Py_NewRef(p->name);
    p->doc = text_or_none(description.doc).release();
    if (p->required == p->count) {
        p->defaults = Py_NewRef(Py_None);
    } else {
        Ref defaults = checked(PyTuple_New(p->count - p->required));
        for (Py_ssize_t j = p->required; j < p->count; ++j) {
            PyTuple_SET_ITEM(defaults.get(), j - p->required,
                             default_object(p->params[j]).release());
        }
        p->defaults = defaults.release();
    }
    Ref annotations = checked(PyDict_New());
    for (Py_ssize_t j = 0; j < p->count; ++j) {
        if (!p->params[j].annotation) continue;
        Ref text = checked(PyUnicode_FromString(p->params[j].annotation));
        checked(PyDict_SetItem(annotations.get(), p->names[j], text.get()));
    }
    if (p->returns) {
        Ref text = checked(PyUnicode_FromString(p->returns));
        checked(PyDict_SetItem(annotations.get(), return_name.get(), text.get()));
    }
    p->annotations = annotations.release();
    prepare_count_texts(*p);
    signature.prepared = p.release();
    return signature.prepared;
}

Ref closure_of(const FunctionObject* function) {
    if (!function->closure) {
        raise_format(PyExc_RuntimeError,
                     "%U() can no longer be called: the garbage collector has cleared what it "
                     "closes over",
                     function->name);
    }
    return Ref::borrow(function->closure);
}

Ref make_function(const Prototype* prototype, PyObject* module_name, PyObject* globals,
                  PyObject* closure) {
    ready_type();
    Ref function = new_instance<FunctionObject>();
    FunctionObject* f = as<FunctionObject>(function.get());
    f->vectorcall = function_vectorcall;
    f->prototype = prototype;
    f->name = Py_NewRef(prototype->name);
    f->qualname = Py_NewRef(prototype->qualname);
    f->module = Py_NewRef(module_name);
    f->doc = Py_NewRef(prototype->doc);
    f->globals = Py_XNewRef(globals);
    f->closure = Py_XNewRef(closure);
    return function;
}

} // namespace vantrel
