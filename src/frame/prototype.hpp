// Internals of the function type shared by function.cpp and binder.cpp.
#pragma once

#include "frame/functions.hpp"

#include <cstddef>

namespace vantrel {

// Room for the start of a count message: a bare name of up to 200 bytes and
// the fixed words around it.
inline constexpr std::size_t count_text_size = 288;

// A Signature made ready for calls: names interned, defaults and annotations
// built.  Made once per signature at module start-up; lives for the process.
struct Prototype {
    Py_ssize_t count;    // parameters
    Py_ssize_t required; // the leading ones without a default
    bool converts;       // some parameter is converted (int, truth value)
    Result result;
    Body body;
    const char* returns;
    const char* bare_name;
    std::span<const Param> params; // the signature's table, at most max_params
    PyObject* names[max_params];   // interned parameter names
    PyObject* name;
    PyObject* qualname;
    PyObject* doc;         // str or None
    PyObject* defaults;    // tuple or None
    PyObject* annotations; // dict
    // The start of the positional-count messages, up to and including "(",
    // for too few and for too many arguments; only the count given follows.
    char too_few[count_text_size];
    char too_many[count_text_size];
    std::size_t too_few_length;
    std::size_t too_many_length;
};

// Writes the start of the count messages into the prototype; call once from
// prepare().
void prepare_count_texts(Prototype& p);

// Binds vectorcall arguments to parameters, applies the parameter rules and
// runs the body.  The vectorcall slot of the function type.
PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) noexcept;

} // namespace vantrel
