// Internals of the function type shared by function.cpp and binder.cpp.
#pragma once

#include "frame/frame.hpp"

namespace vantrel {

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
    Param params[max_params];
    PyObject* names[max_params]; // interned parameter names
    PyObject* name;
    PyObject* qualname;
    PyObject* doc;         // str or None
    PyObject* defaults;    // tuple or None
    PyObject* annotations; // dict
};

// Binds vectorcall arguments to parameters, applies the parameter rules and
// runs the body.  The vectorcall slot of the function type.
PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames);

} // namespace vantrel
