// Modules: the process-wide state of an extension module, its start-up steps
// and what a module body is made of (imports, classes, functions).
#pragma once

#include "frame/functions.hpp"
#include "frame/names.hpp"

#include <cstdint>
#include <initializer_list>
#include <utility>

namespace vantrel {

// A method given to a class builder: its signature, and how the class holds
// the function made from it.  The class's dictionary gets it under the
// signature's name.
struct Method {
    enum Kind : std::uint8_t {
        Instance, // the function itself, bound to instances as a def is
        Static,   // wrapped in staticmethod
        Property, // wrapped in property, as its getter
    };
    Method(const Signature& signature_, Kind kind_ = Instance) noexcept
        : signature(signature_), kind(kind_) {}
    const Signature& signature;
    Kind kind;
};

struct ModuleFrame;
using ModuleBody = void (*)(ModuleFrame& frame, PyObject* module);

// The process-wide state of one extension module and its start-up steps.
struct ModuleFrame {
    const char* short_name; // "mailer"
    const char* full_name;  // "vantrel.mailer"
    ModuleBody body;

    // Set by the execution step; valid once the module has started.
    PyObject* module = nullptr; // the module object held for the process
    PyObject* globals = nullptr;
    PyObject* builtins = nullptr; // the builtins module's namespace

    PyModuleDef def{};
    PyModuleDef_Slot slots[6]{};

    PyObject* init() noexcept;

    // A module-level name, looked up now in the module's namespace and then
    // in builtins; NameError when it is in neither.
    Ref global(const Name& name) const;

    // `import name`, bound as `name` (throws Error).
    void import(const char* name) const;
    // `from source import names...` at the given level, each bound under its
    // own name (throws Error).
    void import_from(const char* source, std::initializer_list<const char*> names,
                     int level = 0) const;
    // Binds a value in the module's namespace.
    void bind(const char* name, PyObject* value) const;
    // A new class: type(name, (), namespace), with __module__, __qualname__
    // and __doc__ set first, then the methods in their order.
    Ref make_class(const char* name, const char* doc, std::initializer_list<Method> methods);
    // A class whose instances hold C-level state: the heap type made from
    // `spec` (slots, members, GC), its methods then set on it as on a class
    // from make_class.  Its name is the last part of spec.name.
    Ref native_class(PyType_Spec& spec, std::initializer_list<Method> methods);
    // A function of this module; an inner function gets what it closes over.
    Ref function(const Signature& signature, PyObject* closure = nullptr);
    // A method of the class `owner` as the class's dictionary holds it.
    Ref method(const char* owner, const Method& member);

    PyObject* name_object = nullptr; // full_name as a str, for __module__; made on first use
};

} // namespace vantrel
