// Module start-up: the creation and execution steps with their guards, and the
// import and class-building steps that module bodies are made of.
#include "frame/calls.hpp"
#include "frame/modules.hpp"
#include "frame/native.hpp"

#include <atomic>
#include <cstddef>
#include <cstring>

namespace vantrel {

namespace {

Name spec_name{"name"};
Name spec_loader{"loader"};
Name spec_origin{"origin"};
Name spec_parent{"parent"};
Name spec_locations{"submodule_search_locations"};
Name dunder_loader{"__loader__"};
Name dunder_file{"__file__"};
Name dunder_package{"__package__"};
Name dunder_path{"__path__"};
Name dunder_builtins{"__builtins__"};
Name dunder_module{"__module__"};
Name dunder_qualname{"__qualname__"};
Name dunder_doc{"__doc__"};
Name builtins_name{"builtins"};

ModuleFrame& frame_of(PyModuleDef* def) {
    return *reinterpret_cast<ModuleFrame*>(reinterpret_cast<char*>(def) -
                                           offsetof(ModuleFrame, def));
}

// The first interpreter that created a module of this library.
std::atomic<std::int64_t> first_interpreter{-1};

// Copies spec.<attribute> into the module namespace; a missing attribute is
// skipped, and so is None where `skip_none` says so.
void copy_spec(PyObject* spec, const Name& attribute, PyObject* globals, const Name& key,
               bool skip_none) {
    Ref owned = optional_attr(spec, attribute);
    if (!owned || (skip_none && owned.get() == Py_None)) return;
    checked(PyDict_SetItem(globals, key.get(), owned.get()));
}

PyObject* create_module(PyObject* spec, PyModuleDef* def) noexcept {
    ModuleFrame& frame = frame_of(def);
    const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    std::int64_t expected = -1;
    if (!first_interpreter.compare_exchange_strong(expected, current) && expected != current) {
        PyErr_SetString(PyExc_ImportError, "Interpreter change detected - this module can only be "
                                           "loaded into one interpreter per process.");
        return nullptr;
    }
    if (frame.module) return Py_NewRef(frame.module);
    return guarded(
        [&] {
            intern_names();
            Ref name = getattr(spec, spec_name);
            Ref module = checked(PyModule_NewObject(name.get()));
            PyObject* globals = PyModule_GetDict(module.get());
            copy_spec(spec, spec_loader, globals, dunder_loader, false);
            copy_spec(spec, spec_origin, globals, dunder_file, false);
            copy_spec(spec, spec_parent, globals, dunder_package, false);
            copy_spec(spec, spec_locations, globals, dunder_path, true);
            return module.release();
        },
        nullptr);
}

void warn_on_version_change(const ModuleFrame& frame) {
    const int major = static_cast<int>((Py_Version >> 24) & 0xff);
    const int minor = static_cast<int>((Py_Version >> 16) & 0xff);
    if (major == VANTREL_TARGET_MAJOR && minor == VANTREL_TARGET_MINOR) return;
    checked(PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                             "compile time Python version %d.%d of module '%.100s' %s runtime "
                             "version %d.%d",
                             VANTREL_TARGET_MAJOR, VANTREL_TARGET_MINOR, frame.full_name,
                             "does not match", major, minor));
}

// Takes sys.modules[name] out again if it still maps to the module whose
// execution failed, so that a later import starts afresh instead of finding
// the broken module.  The failure being raised stays the one that propagates.
void forget_alias(PyObject* name, PyObject* module) noexcept {
    PyObject* failure = PyErr_GetRaisedException();
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* entry = nullptr;
    int found = PyDict_GetItemRef(modules, name, &entry);
    if (found > 0 && entry == module) found = PyDict_DelItem(modules, name);
    Py_XDECREF(entry);
    if (found < 0) {
        PyErr_FormatUnraisable("Exception ignored while removing sys.modules[%R]", name);
    }
    PyErr_SetRaisedException(failure);
}

int exec_module(PyObject* module) noexcept {
    ModuleFrame& frame = frame_of(PyModule_GetDef(module));
    if (frame.module) {
        if (frame.module == module) return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     frame.short_name);
        return -1;
    }
    frame.module = Py_NewRef(module);
    // Set when this step enters the module into sys.modules under its full
    // name; a failure must take that entry out again.
    Ref alias;
    const int status = guarded(
        [&] {
            frame.globals = PyModule_GetDict(module);
            Ref builtins = checked(PyImport_Import(builtins_name.get()));
            setattr(module, dunder_builtins, builtins.get());
            if (!frame.builtins) frame.builtins = Py_NewRef(PyModule_GetDict(builtins.get()));
            warn_on_version_change(frame);
            Ref full_name = checked(PyUnicode_FromString(frame.full_name));
            PyObject* modules = PyImport_GetModuleDict();
            if (!checked(PyDict_Contains(modules, full_name.get()))) {
                checked(PyDict_SetItem(modules, full_name.get(), module));
                alias = full_name;
            }
            frame.body(frame, module);
            return 0;
        },
        -1);
    if (status == 0) return 0;
    Py_CLEAR(frame.module);
    frame.globals = nullptr;
    if (!PyErr_Occurred()) PyErr_Format(PyExc_ImportError, "init %s", frame.full_name);
    if (alias) forget_alias(alias.get(), module);
    return -1;
}

} // namespace

PyObject* ModuleFrame::init() noexcept {
    if (!def.m_name) {
        slots[0] = {.slot = Py_mod_create, .value = slot_value(create_module)};
        slots[1] = {.slot = Py_mod_exec, .value = slot_value(exec_module)};
        // The creation step itself refuses a second interpreter with its own
        // message, so the interpreter must be let through to it.
        slots[2] = {.slot = Py_mod_multiple_interpreters,
                    .value = Py_MOD_PER_INTERPRETER_GIL_SUPPORTED};
        slots[3] = {.slot = Py_mod_gil, .value = Py_MOD_GIL_USED};
        slots[4] = {};
        def = {
            .m_base = PyModuleDef_HEAD_INIT,
            .m_name = short_name,
            .m_doc = nullptr,
            .m_size = 0,
            .m_methods = nullptr,
            .m_slots = slots,
        };
    }
    return PyModuleDef_Init(&def);
}

Ref ModuleFrame::global(const Name& name) const {
    PyObject* value = nullptr;
    if (checked(PyDict_GetItemRef(globals, name.get(), &value))) return Ref::steal(value);
    if (checked(PyDict_GetItemRef(builtins, name.get(), &value))) return Ref::steal(value);
    raise_format(PyExc_NameError, "name '%U' is not defined", name.get());
}

void ModuleFrame::bind(const char* name, PyObject* value) const {
    checked(PyDict_SetItemString(globals, name, value));
}

void ModuleFrame::import(const char* name) const {
    // What the import statement does at module level: the import system is
    // asked with this module's namespace as globals and locals and no
    // fromlist, and it returns the top-level package, which `import a.b`
    // binds as `a`.
    Ref text = checked(PyUnicode_FromString(name));
    Ref top = checked(PyImport_ImportModuleLevelObject(text.get(), globals, globals, Py_None, 0));
    const char* dot = std::strchr(name, '.');
    Ref bound = dot ? checked(PyUnicode_FromStringAndSize(name, dot - name)) : text;
    checked(PyDict_SetItem(globals, bound.get(), top.get()));
}

namespace {

Name dunder_name{"__name__"};
Name dunder_spec{"__spec__"};
Name spec_has_location{"has_location"};
Name spec_initializing{"_initializing"};
KwNames import_error_keywords{"name", "path", "name_from"};

// Where the module was loaded from, for the message: __spec__.origin when
// __spec__ calls it a location, else the module's __file__; empty when
// neither is known.
Ref module_location(PyObject* module, PyObject* spec) {
    Ref has_location = optional_attr(spec, spec_has_location);
    if (has_location && truth(has_location)) {
        Ref origin = optional_attr(spec, spec_origin);
        if (origin && PyUnicode_Check(origin.get())) return origin;
    }
    if (!PyModule_Check(module)) return Ref();
    PyObject* file = PyModule_GetFilenameObject(module);
    if (file) return Ref::steal(file);
    // No usable __file__ is a SystemError here; the location is just unknown.
    if (!PyErr_ExceptionMatches(PyExc_SystemError)) raise_error();
    PyErr_Clear();
    return Ref();
}

// The ImportError of `from module import name` when the module has no such
// name, worded and filled in as the interpreter does it.
[[noreturn]] void cannot_import(PyObject* module, PyObject* name, const Ref& module_name) {
    Ref shown = module_name ? module_name : checked(PyUnicode_FromString("<unknown module name>"));
    Ref location;
    Ref message;
    Ref spec = optional_attr(module, dunder_spec);
    if (spec) location = module_location(module, spec.get());
    // A module whose import is still running lacks names it will have later.
    Ref initializing = spec ? optional_attr(spec.get(), spec_initializing) : Ref();
    if (initializing && truth(initializing)) {
        message = location ? checked(PyUnicode_FromFormat(
                                 "cannot import name %R from partially initialized module %R "
                                 "(most likely due to a circular import) (%S)",
                                 name, shown.get(), location.get()))
                           : checked(PyUnicode_FromFormat(
                                 "cannot import name %R from partially initialized module %R "
                                 "(most likely due to a circular import)",
                                 name, shown.get()));
    } else if (location) {
        message = checked(PyUnicode_FromFormat("cannot import name %R from %R (%S)", name,
                                               shown.get(), location.get()));
    } else {
        message = checked(PyUnicode_FromFormat("cannot import name %R from %R (unknown location)",
                                               name, shown.get()));
    }
    Ref error = call_kw(PyExc_ImportError, import_error_keywords, message,
                        module_name ? module_name.get() : Py_None,
                        location ? location.get() : Py_None, name);
    raise_exception(error.get());
}

// One name of `from module import name`: the module's attribute, or else the
// submodule of that name in sys.modules, which a circular import may have
// entered there before binding it on its package.
Ref imported_name(PyObject* module, PyObject* name) {
    PyObject* value = nullptr;
    if (checked(PyObject_GetOptionalAttr(module, name, &value))) return Ref::steal(value);
    Ref module_name = optional_attr(module, dunder_name);
    if (module_name && !PyUnicode_Check(module_name.get())) module_name.reset();
    if (module_name) {
        Ref full_name = checked(PyUnicode_FromFormat("%U.%U", module_name.get(), name));
        Ref submodule = Ref::steal(PyImport_GetModule(full_name.get()));
        if (submodule) return submodule;
        if (PyErr_Occurred()) raise_error();
    }
    cannot_import(module, name, module_name);
}

} // namespace

void ModuleFrame::import_from(const char* source, std::initializer_list<const char*> names,
                              int level) const {
    Ref source_text = checked(PyUnicode_FromString(source));
    Ref fromlist = checked(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    Py_ssize_t i = 0;
    for (const char* name : names) {
        PyTuple_SET_ITEM(fromlist.get(), i++, checked(PyUnicode_FromString(name)).release());
    }
    Ref imported = checked(PyImport_ImportModuleLevelObject(source_text.get(), globals, globals,
                                                            fromlist.get(), level));
    for (i = 0; i < PyTuple_GET_SIZE(fromlist.get()); ++i) {
        PyObject* name = PyTuple_GET_ITEM(fromlist.get(), i);
        Ref value = imported_name(imported.get(), name);
        checked(PyDict_SetItem(globals, name, value.get()));
    }
}

Ref ModuleFrame::make_class(const char* name, const char* doc,
                            std::initializer_list<Method> methods) {
    Ref namespace_ = checked(PyDict_New());
    Ref module_name = checked(PyUnicode_FromString(full_name));
    Ref class_name = checked(PyUnicode_FromString(name));
    Ref doc_text = checked(PyUnicode_FromString(doc));
    checked(PyDict_SetItem(namespace_.get(), dunder_module.get(), module_name.get()));
    checked(PyDict_SetItem(namespace_.get(), dunder_qualname.get(), class_name.get()));
    checked(PyDict_SetItem(namespace_.get(), dunder_doc.get(), doc_text.get()));
    for (const Method& member : methods) {
        checked(PyDict_SetItemString(namespace_.get(), member.signature.description.name,
                                     method(name, member).get()));
    }
    Ref bases = checked(PyTuple_New(0));
    return call(reinterpret_cast<PyObject*>(&PyType_Type), class_name, bases, namespace_);
}

Ref ModuleFrame::native_class(PyType_Spec& spec, std::initializer_list<Method> methods) {
    Ref type = checked(PyType_FromSpec(&spec));
    const char* dot = std::strrchr(spec.name, '.');
    const char* name = dot ? dot + 1 : spec.name;
    for (const Method& member : methods) {
        checked(PyObject_SetAttrString(type.get(), member.signature.description.name,
                                       method(name, member).get()));
    }
    return type;
}

namespace {
Ref make_module_function(ModuleFrame& frame, const Prototype* prototype, PyObject* closure) {
    if (!frame.name_object)
        frame.name_object = checked(PyUnicode_FromString(frame.full_name)).release();
    return make_function(prototype, frame.name_object, frame.globals, closure);
}
} // namespace

Ref ModuleFrame::function(const Signature& signature, PyObject* closure) {
    return make_module_function(*this, prepare(signature), closure);
}

Ref ModuleFrame::method(const char* owner, const Method& member) {
    Ref function = make_module_function(*this, prepare(member.signature, owner), nullptr);
    switch (member.kind) {
    case Method::Static:
        return checked(PyStaticMethod_New(function.get()));
    case Method::Property:
        return call(reinterpret_cast<PyObject*>(&PyProperty_Type), function);
    default:
        return function;
    }
}

} // namespace vantrel
