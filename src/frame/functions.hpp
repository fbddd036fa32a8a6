// Native functions: parameter tables and the rules that test them, the
// argument view a body reads, the signature that describes a function, and
// the function objects made from it.
#pragma once

#include "frame/names.hpp"

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <span>
#include <string_view>
#include <type_traits>

namespace vantrel {

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
// subclass of `expected_type` (none when that is null).  The binder's setter,
// which reports a failure by its result.
void set_incorrect_type(const char* param, const char* expected, PyTypeObject* expected_type,
                        PyObject* value) noexcept;

// The same TypeError, raised: for the checks that a function body makes itself.
[[noreturn]] inline void raise_incorrect_type(const char* param, const char* expected,
                                              PyTypeObject* expected_type, PyObject* value) {
    set_incorrect_type(param, expected, expected_type, value);
    raise_error();
}

// The instance of an instance method: unannotated, any object.
inline constexpr Param self_param{"self", nullptr, Rule::Any, Default::Required};

// For a parameter that holds None or an exact str: a string of length >= 1.
inline bool non_empty_str(PyObject* object) {
    return object != Py_None && PyUnicode_GET_LENGTH(object) > 0;
}

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
    // Every argument, in parameter order: for a call that keeps them for later.
    PyObject* const* all() const noexcept { return bound_; }

private:
    PyObject* const* bound_;
};

// What the binder calls: the bound arguments as an array, one per parameter;
// the result is a new reference, which the binder hands to the caller.
using Body = Ref (*)(FunctionObject* self, PyObject* const* bound);

namespace detail {
// A body returns a Ref; a bare PyObject* result is taken as a new reference.
template <class Returned, const auto& Params>
Args<Params> args_of(Returned (*)(FunctionObject*, Args<Params>));

template <class Returned, const auto& Params>
constexpr std::span<const Param> params_of(Returned (*)(FunctionObject*, Args<Params>)) {
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
template <auto body> Ref call_body(FunctionObject* self, PyObject* const* bound) {
    using View = decltype(args_of(body));
    if constexpr (std::is_same_v<decltype(body(self, View(bound))), Ref>) {
        return body(self, View(bound));
    } else {
        return Ref::steal(body(self, View(bound)));
    }
}
} // namespace detail

// The words that describe a function besides its parameters.
struct Description {
    const char* name;
    // nullptr: derived, as a def statement derives it: the name for a function
    // of the module, "Class.name" for a method given to a class builder.
    const char* qualname = nullptr;
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
    static inline PyTypeObject* type; // this library's function type, made once
};

// What an inner function closes over, held for the call: running the
// caller's code may drop the function's own reference.  The collector's clear
// step empties it, and a cleared function can still be reached (through
// gc.get_objects(), for one): calling it then raises RuntimeError.
Ref closure_of(const FunctionObject* function);

// Prepares a signature for making functions from it (names interned,
// defaults and annotations built), once per signature; a derived qualified
// name starts with `owner.` when the function is a method of the class
// `owner`.  The result lives as long as the process.
const Prototype* prepare(const Signature& signature, const char* owner = nullptr);

// A new function object of this shared library's function type.
Ref make_function(const Prototype* prototype, PyObject* module_name, PyObject* globals,
                  PyObject* closure);

} // namespace vantrel
