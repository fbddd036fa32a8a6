// The frame shared by vantrel's extension modules: interned names, calls,
// the native function type with its argument binder and type rules, and the
// start-up guards of a module.
#pragma once

#include "frame/ref.hpp"

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <span>
#include <string_view>
#include <type_traits>

namespace vantrel {

// ---------------------------------------------------------------------------
// Interned strings, made once when a module starts.

// The most parameters a function may have: the binder's buffers are sized by
// it, and every parameter table is checked against it when compiling.
inline constexpr std::size_t max_params = 12;

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

// ---------------------------------------------------------------------------
// Calls.  Arguments are Refs or borrowed pointers; results are new references
// or a thrown Error.

template <class... Args> Ref call(PyObject* callable, const Args&... args) {
    PyObject* stack[] = {nullptr, obj(args)...};
    return checked(PyObject_Vectorcall(callable, stack + 1,
                                       sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

template <class... Args> Ref call(const Ref& callable, const Args&... args) {
    return call(callable.get(), args...);
}

// A call whose last `kwnames.size()` arguments are passed by those keywords.
template <class... Args>
Ref call_kw(PyObject* callable, const KwNames& kwnames, const Args&... args) {
    PyObject* stack[] = {nullptr, obj(args)...};
    const size_t positional = sizeof...(Args) - static_cast<size_t>(kwnames.size());
    return checked(PyObject_Vectorcall(callable, stack + 1,
                                       positional | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
}

template <class... Args>
Ref call_kw(const Ref& callable, const KwNames& kwnames, const Args&... args) {
    return call_kw(callable.get(), kwnames, args...);
}

// callable(**mapping): the entries of a dict passed as keyword arguments.  The
// callee never receives the caller's dict itself, so it cannot change it.
Ref call_with_keywords(PyObject* callable, PyObject* mapping);

// self.name(*args), looked up by ordinary attribute lookup.
template <class... Args> Ref call_method(PyObject* self, const Name& name, const Args&... args) {
    PyObject* stack[] = {self, obj(args)...};
    return checked(PyObject_VectorcallMethod(
        name.get(), stack, (sizeof...(Args) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

template <class... Args> Ref call_method(const Ref& self, const Name& name, const Args&... args) {
    return call_method(self.get(), name, args...);
}

// self.name(*positional, **keywords) with the last kwnames.size() arguments
// passed by keyword.
template <class... Args>
Ref call_method_kw(PyObject* self, const Name& name, const KwNames& kwnames, const Args&... args) {
    PyObject* stack[] = {self, obj(args)...};
    const size_t positional = sizeof...(Args) + 1 - static_cast<size_t>(kwnames.size());
    return checked(PyObject_VectorcallMethod(
        name.get(), stack, positional | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
}

inline Ref getattr(PyObject* object, const Name& name) {
    return checked(PyObject_GetAttr(object, name.get()));
}
inline Ref getattr(const Ref& object, const Name& name) {
    return getattr(object.get(), name);
}

// An attribute, or an empty Ref when the object has none.
inline Ref optional_attr(PyObject* object, const Name& name) {
    PyObject* value = nullptr;
    checked(PyObject_GetOptionalAttr(object, name.get(), &value));
    return Ref::steal(value);
}

inline void setattr(PyObject* object, const Name& name, PyObject* value) {
    checked(PyObject_SetAttr(object, name.get(), value));
}

// The interpreter's truth test.
inline bool truth(PyObject* object) {
    return checked(PyObject_IsTrue(object)) != 0;
}
inline bool truth(const Ref& object) {
    return truth(object.get());
}

// For a parameter that holds None or an exact str: a string of length >= 1.
inline bool non_empty_str(PyObject* object) {
    return object != Py_None && PyUnicode_GET_LENGTH(object) > 0;
}

// While it lives, `exception` is the exception being handled, as inside an
// `except` clause: sys.exception() returns it, a bare `raise` raises it, and
// every exception raised meanwhile takes it as its __context__.  Afterwards
// the innermost handled-exception slot holds again exactly what it held.
class Handling {
public:
    explicit Handling(PyObject* exception) noexcept;
    ~Handling();
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

private:
    PyObject* saved_; // the slot's value before, or null for none
};

// A context manager that has been entered: its bound __exit__ and the value
// that __enter__ returned.
struct Context {
    Ref exit;
    Ref value;
};

// Looks up __enter__ and __exit__ on the manager's type and calls __enter__.
Context enter_context(PyObject* manager);

// The way out of the statement when its body failed with the pending
// exception: calls __exit__ with that exception's type, value and traceback
// and tests the truth of its result, both while that exception is the one
// being handled.  Returns when __exit__ suppressed the exception; otherwise
// raises it again, or what __exit__ or the truth test raised.
void exit_on_failure(const Context& context);

// Runs `block(entered)` as the body of `with manager as entered:`, with the
// statement's semantics: __exit__ runs on every way out, sees the pending
// exception and may suppress it.  Returns false when it suppressed one.
template <class Block> bool with(PyObject* manager, Block&& block) {
    Context context = enter_context(manager);
    try {
        block(context.value.get());
    } catch (...) {
        // Whatever left the block, an Error or any other C++ exception, is
        // the pending Python exception that __exit__ is told about.
        set_python_error();
        exit_on_failure(context);
        return false;
    }
    // As in the statement, what __exit__ returns on the way out of a body
    // that succeeded is not looked at.
    call(context.exit, Py_None, Py_None, Py_None);
    return true;
}

// ---------------------------------------------------------------------------
// Native functions.

// What a parameter accepts when the function is called.
enum class Rule : std::uint8_t {
    Any,     // any object, unchanged
    Str,     // exactly str
    OptStr,  // None or exactly str
    List,    // exactly list
    OptList, // None or exactly list
    Dict,    // exactly dict
    OptDict, // None or exactly dict
    Int,     // int, other numbers converted with int()
    Truth,   // True or False by the object's truth value
};

enum class Default : std::uint8_t { Required, None, True, False, Int, Float, Text };

struct Param {
    const char* name;
    const char* annotation; // nullptr: not annotated
    Rule rule;
    Default value;
    long number = 0;            // the default value of Default::Int
    const char* text = nullptr; // of Default::Text
    double real = 0.0;          // of Default::Float
};

// Sets the binder's TypeError for a parameter whose value is not of the type
// it takes: "Argument 'mailer' has incorrect type (expected EasyMailer, got
// int)", with the note on exact built-in types when the value's type is a
// subclass of `expected_type` (none when that is null).  For the checks that
// a function body makes itself; the caller then throws Error.
void raise_type(const char* param, const char* expected, PyTypeObject* expected_type,
                PyObject* value);

// The instance a method of a native type was called on, or the interpreter's
// TypeError for a method taken from the class and called on something else
// ("descriptor 'send' for 'vantrel.session.Session' objects doesn't apply to
// a 'int' object"), thrown as Error.
PyObject* instance_of(PyObject* object, PyTypeObject* type, const char* method);
template <class T> T* instance_of(PyObject* object, PyTypeObject* type, const char* method) {
    return reinterpret_cast<T*>(instance_of(object, type, method));
}

// The instance of an instance method: unannotated, any object.
inline constexpr Param self_param{"self", nullptr, Rule::Any, Default::Required};

// How the result is checked before it is returned.
enum class Result : std::uint8_t { Any, Str, OptStr };

struct FunctionObject;

// The bound arguments of one call, one per parameter of the table `Params`,
// borrowed.  A body reads them by parameter name, `args["subject"]`: the name
// is looked up in the table when compiling, so a name the table lacks does not
// compile, and adding or reordering parameters cannot hand a body the wrong
// argument.
template <const auto& Params> class Args {
public:
    static constexpr std::size_t count = std::size(Params);
    static_assert(count <= max_params, "more parameters than the binder takes");

    // A parameter's position, found from its name when compiling.
    class Position {
    public:
        consteval Position(const char* name) : index_(find(name)) {}
        std::size_t index() const noexcept { return index_; }

    private:
        static consteval std::size_t find(const char* name) {
            for (std::size_t i = 0; i < count; ++i) {
                if (std::string_view(Params[i].name) == name) return i;
            }
            throw "no parameter of that name"; // not a constant: a compile error
        }
        std::size_t index_;
    };

    explicit Args(PyObject* const* bound) noexcept : bound_(bound) {}
    PyObject* operator[](Position position) const noexcept { return bound_[position.index()]; }

private:
    PyObject* const* bound_;
};

// What the binder calls: the bound arguments as an array, one per parameter.
using Body = PyObject* (*)(FunctionObject * self, PyObject* const* bound);

namespace detail {
template <const auto& Params> Args<Params> args_of(PyObject* (*)(FunctionObject*, Args<Params>));

template <const auto& Params>
constexpr std::span<const Param> params_of(PyObject* (*)(FunctionObject*, Args<Params>)) {
    return Params;
}

// Defaults may only follow the required parameters, as in a def statement.
constexpr bool required_first(std::span<const Param> params) {
    bool optional = false;
    for (const Param& param : params) {
        if (param.value != Default::Required)
            optional = true;
        else if (optional)
            return false;
    }
    return true;
}

// The body with its argument view, behind the binder's calling convention.
template <auto body> PyObject* call_body(FunctionObject* self, PyObject* const* bound) {
    return body(self, decltype(args_of(body))(bound));
}
} // namespace detail

// The words that describe a function besides its parameters.
struct Description {
    const char* name;
    const char* qualname;
    const char* doc = nullptr;     // nullptr: no docstring
    const char* returns = nullptr; // nullptr: no return annotation
    Result result = Result::Any;
};

// The fixed description of one function: its words, and the parameter table
// that its body's Args names, so that the two cannot drift apart.
struct Signature {
    Description description;
    std::span<const Param> params;
    Body body;
    // Filled in by the first prepare(); a module that starts again after a
    // failed import reuses it.
    mutable const struct Prototype* prepared = nullptr;
};

// The signature of the function whose body is `body`, a function taking
// `Args<table>`; its parameters are those of the table.
template <auto body> Signature define(const Description& description) {
    constexpr std::span<const Param> params = detail::params_of(body);
    static_assert(detail::required_first(params), "a required parameter follows a default");
    return Signature{description, params, &detail::call_body<body>};
}

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const Prototype* prototype;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* globals; // the defining module's namespace, as __globals__
    PyObject* closure; // what an inner function closes over, or null
    PyObject* dict;
    PyObject* weakrefs;
};

// What an inner function closes over, held for the call: running the
// caller's code may drop the function's own reference.  The collector's clear
// step empties it, and a cleared function can still be reached (through
// gc.get_objects(), for one): calling it then raises RuntimeError.
Ref closure_of(const FunctionObject* function);

// Prepares a signature for making functions from it (names interned,
// defaults and annotations built), once per signature.  The result lives as
// long as the process.
const Prototype* prepare(const Signature& signature);

// A new function object of this shared library's function type.
Ref make_function(const Prototype* prototype, PyObject* module_name, PyObject* globals,
                  PyObject* closure);

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

// ---------------------------------------------------------------------------
// Modules.

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
    // A new class: type(name, (), namespace), with __module__ and __qualname__
    // set first.
    Ref make_class(const char* name, const char* doc,
                   std::initializer_list<std::pair<const char*, PyObject*>> members) const;
    // A class whose instances hold C-level state: the heap type made from
    // `spec` (slots, members, GC), with these members, native functions for
    // the most part, then set on it as on a class from make_class.
    Ref native_class(PyType_Spec& spec,
                     std::initializer_list<std::pair<const char*, PyObject*>> members) const;
    // A function of this module; an inner function gets what it closes over.
    Ref function(const Signature& signature, PyObject* closure = nullptr);

    PyObject* name_object = nullptr; // full_name as a str, for __module__; made on first use
};

} // namespace vantrel
