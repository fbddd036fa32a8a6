// Native types: the slot tables of a heap type, and the check that a method
// of one was called on one of its instances.
#pragma once

#include "frame/ref.hpp"

#include <type_traits>

namespace vantrel {

// The instance a method of a native type was called on, or the interpreter's
// TypeError for a method taken from the class and called on something else
// ("descriptor 'send' for 'vantrel.session.Session' objects doesn't apply to
// a 'int' object"), thrown as Error.
PyObject* instance_of(PyObject* object, PyTypeObject* type, const char* method);
template <class T> T* instance_of(PyObject* object, PyTypeObject* type, const char* method) {
    return reinterpret_cast<T*>(instance_of(object, type, method));
}

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
