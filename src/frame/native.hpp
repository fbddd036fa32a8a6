// Native types: their instances as C++ structs, the GC steps of their object
// fields, the slot tables of a heap type, and the check that a method of one
// was called on one of its instances.
//
// The struct T of a native type starts with PyObject_HEAD and names its type
// as `static inline PyTypeObject* type`, which the module body sets when it
// makes the type and which lives as long as the process.
#pragma once

#include "frame/ref.hpp"

#include <cassert>
#include <cstring>
#include <type_traits>

namespace vantrel {

// The instance a method of a native type was called on, or the interpreter's
// TypeError for a method taken from the class and called on something else
// ("descriptor 'send' for 'vantrel.session.Session' objects doesn't apply to
// a 'int' object"), thrown as Error.
PyObject* instance_of(PyObject* object, PyTypeObject* type, const char* method);
template <class T> T* instance_of(PyObject* object, const char* method) {
    return reinterpret_cast<T*>(instance_of(object, T::type, method));
}

// An object known to be an instance of T's type (or of a subclass): what a
// slot gets.  Unchecked; a debug build asserts it.
template <class T> T* as(PyObject* object) noexcept {
    assert(PyObject_TypeCheck(object, T::type));
    return reinterpret_cast<T*>(object);
}

// A new, tracked instance of T's type with every field zeroed.
template <class T> Ref new_instance() {
    T* object = PyObject_GC_New(T, T::type);
    if (!object) raise_error();
    std::memset(reinterpret_cast<char*>(object) + sizeof(PyObject), 0,
                sizeof(T) - sizeof(PyObject));
    PyObject_GC_Track(object);
    return Ref::steal(reinterpret_cast<PyObject*>(object));
}

// The slots a GC-tracked native type needs for its object fields `fields`
// (each a reference or null): traverse visits the type and every field, clear
// empties them, dealloc clears weak references and releases every field.
template <class T, PyObject* T::*... fields> struct Fields {
    static int traverse(PyObject* object, visitproc visit, void* arg) noexcept {
        Py_VISIT(Py_TYPE(object));
        for (PyObject* field : {as<T>(object)->*fields...})
            Py_VISIT(field);
        return 0;
    }

    // Empties every field but those `kept`: fields that the type's getters
    // still read after a clear and that can be in no cycle (strings).
    template <PyObject* T::*... kept> static int clear_all_but(PyObject* object) noexcept {
        (clear_unless<fields, kept...>(as<T>(object)), ...);
        return 0;
    }

    static int clear(PyObject* object) noexcept { return clear_all_but<>(object); }

    static void dealloc(PyObject* object) noexcept {
        PyTypeObject* type = Py_TYPE(object);
        PyObject_GC_UnTrack(object);
        if (type->tp_weaklistoffset) PyObject_ClearWeakRefs(object);
        clear(object);
        type->tp_free(object);
        Py_DECREF(type);
    }

private:
    template <PyObject* T::* field, PyObject* T::*... kept>
    static void clear_unless(T* instance) noexcept {
        if constexpr (!((field == kept) || ...)) Py_CLEAR(instance->*field);
    }
};

// What fills a slot (a function, a table, a text) as the interpreter's void*.
template <class T> void* slot_value(T* value) noexcept {
    if constexpr (std::is_function_v<T>) {
        return reinterpret_cast<void*>(value);
    } else {
        return const_cast<std::remove_const_t<T>*>(value);
    }
}

// One entry of a type's slot table.
template <class T> PyType_Slot type_slot(int id, T* value) noexcept {
    return {.slot = id, .pfunc = slot_value(value)};
}

} // namespace vantrel
