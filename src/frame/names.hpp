// Strings made once when a module starts: identifiers (Name), constant text
// (Text) and the keyword tuples of calls (KwNames).
#pragma once

#include "frame/ref.hpp"

#include <cstddef>

namespace vantrel {

// The most parameters a function may have: the binder's buffers are sized by
// it, and every parameter table is checked against it when compiling.
inline constexpr std::size_t max_params = 16;

// A str made once when a module starts, from a literal.  Declare at namespace
// scope; `intern_names()` makes every one of this shared library.
class StaticString {
public:
    PyObject* get() const noexcept { return object_; }
    const char* text() const noexcept { return text_; }

protected:
    StaticString(const char* text, bool interned) noexcept;

private:
    friend void intern_names();
    const char* text_;
    bool interned_;
    PyObject* object_ = nullptr;
    StaticString* next_;
};

// An identifier: an attribute, a module-level name, a keyword.  Interned, so
// that the interpreter's lookups compare it by identity.
class Name : public StaticString {
public:
    explicit Name(const char* text) noexcept : StaticString(text, true) {}
};

// A constant string value: a format, a separator, a MIME subtype.
class Text : public StaticString {
public:
    explicit Text(const char* text) noexcept : StaticString(text, false) {}
};

// A tuple of keyword names for vectorcall, built at module start-up.
class KwNames {
public:
    template <class... Names>
    explicit KwNames(const Names&... names) noexcept
        : names_{static_cast<const char*>(names)...}, size_(sizeof...(Names)), next_(link()) {
        static_assert(sizeof...(Names) <= max_params, "more keywords than any call can take");
    }
    KwNames(const KwNames&) = delete;
    KwNames& operator=(const KwNames&) = delete;

    PyObject* get() const noexcept { return tuple_; }
    Py_ssize_t size() const noexcept { return size_; }

private:
    friend void intern_names();
    // Puts this object at the head of the library's list; returns the old head.
    KwNames* link() noexcept;
    const char* names_[max_params];
    Py_ssize_t size_;
    PyObject* tuple_ = nullptr;
    KwNames* next_;
};

// Makes every Name, Text and KwNames of this shared library; throws Error on
// failure.  Idempotent.
void intern_names();

} // namespace vantrel
