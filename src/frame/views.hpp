// The bytes behind str and bytes objects, as views for C++ code that knows
// no Python: valid while the object lives.
#pragma once

#include "frame/ref.hpp"

#include <string_view>

namespace vantrel {

// A str's UTF-8 form, cached in the str; a str that has none (a lone
// surrogate) raises UnicodeEncodeError.
inline std::string_view utf8_view(PyObject* str) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(str, &size);
    if (!data) raise_error();
    return {data, static_cast<std::size_t>(size)};
}

// The contents of an object known to be a bytes object.
inline std::string_view bytes_view(PyObject* bytes) noexcept {
    return {PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes))};
}

} // namespace vantrel
