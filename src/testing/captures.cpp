// vantrel.testing: the captures that are active, innermost last, and what
// each found bound in the modules it rebinds.
#include "testing/testing.hpp"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace vantrel::testing {
namespace {

// The modules whose `smtplib` a capture rebinds, and the stand-in module
// that each capture copies to bind there; both made at import and kept for
// the process.
PyObject* targets;
PyObject* standin;

// The number of the capture that began last.  A connection remembers the
// capture it was opened in by its number, which no other capture of the
// process shares.
std::uint64_t last_serial;

// Innermost last.  Made at import and never destroyed: it holds references,
// which must not be released after the interpreter has gone.
std::vector<Active>* active;

// Binds `smtplib` in every target module to values[i], or unbinds it where
// values[i] is empty.
void bind_targets(const std::vector<Ref>& values) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(targets); ++i) {
        PyObject* names = PyModule_GetDict(PyTuple_GET_ITEM(targets, i));
        const Ref& value = values[static_cast<size_t>(i)];
        if (value) {
            checked(PyDict_SetItem(names, n_smtplib.get(), value.get()));
        } else {
            checked(PyDict_Pop(names, n_smtplib.get(), nullptr));
        }
    }
}

// Each capture binds a stand-in module of its own, so that what is bound to
// `smtplib` changes whenever a capture begins or ends: a session that
// remembers the module it connected through sees that its connection belongs
// to another capture state.
Ref new_standin() {
    Ref module = checked(PyModule_New("smtplib"));
    checked(PyDict_Update(PyModule_GetDict(module.get()), PyModule_GetDict(standin)));
    return module;
}

} // namespace

void start_captures(Ref modules, Ref module) {
    if (!targets) targets = modules.release();
    if (!standin) standin = module.release();
    if (!active) active = new std::vector<Active>;
}

std::uint64_t begin_capture(PyObject* outbox) {
    Active entry{Ref::borrow(outbox), last_serial + 1, {}};
    Ref module = new_standin();
    std::vector<Ref> installed;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(targets); ++i) {
        PyObject* found = nullptr;
        checked(PyDict_GetItemRef(PyModule_GetDict(PyTuple_GET_ITEM(targets, i)), n_smtplib.get(),
                                  &found));
        entry.saved.push_back(Ref::steal(found));
        installed.push_back(module);
    }
    active->reserve(active->size() + 1);
    bind_targets(installed);
    last_serial = entry.serial;
    active->push_back(std::move(entry));
    return last_serial;
}

// Ends the innermost active capture that `match` accepts.  Ending one that is
// not the innermost hands what it saved to the capture that began after it,
// which then restores that when it ends.
namespace {

template <class Match> void end_capture_where(Match&& match) {
    size_t i = active->size();
    while (i > 0 && !match((*active)[i - 1]))
        --i;
    if (i == 0) {
        raise(PyExc_RuntimeError, "this outbox is not capturing");
    }
    // Released only when the list is consistent again.
    Active ended = std::move((*active)[i - 1]);
    if (i == active->size()) {
        bind_targets(ended.saved);
    } else {
        std::swap((*active)[i].saved, ended.saved);
    }
    active->erase(active->begin() + static_cast<std::ptrdiff_t>(i - 1));
}

} // namespace

void end_capture(PyObject* outbox) {
    end_capture_where([&](const Active& a) { return a.outbox.get() == outbox; });
}

// Wherever it is among the active ones:
// calls of decorated coroutine functions interleave, so the one that ends is
// not always the innermost of its outbox.
void end_capture(std::uint64_t serial) {
    end_capture_where([&](const Active& a) { return a.serial == serial; });
}

const Active& receiving_capture() {
    if (active->empty()) {
        raise(PyExc_RuntimeError, "no vantrel.testing capture is active");
    }
    return active->back();
}

bool capture_active(std::uint64_t serial) {
    return std::ranges::any_of(*active, [&](const Active& a) { return a.serial == serial; });
}

namespace {

constexpr Param enter_params[] = {self_param};

Ref Outbox_enter(FunctionObject*, Args<enter_params> args) {
    outbox_of(args["self"], "__enter__");
    begin_capture(args["self"]);
    return Ref::borrow(args["self"]);
}

} // namespace

const Signature enter_signature = define<Outbox_enter>({
    .name = "__enter__",
    .doc = "Make this capture active; return the outbox.",
    .returns = "Outbox",
});

namespace {

Ref Outbox_exit(FunctionObject*, Args<exit_params> args) {
    outbox_of(args["self"], "__exit__");
    end_capture(args["self"]);
    return none();
}

} // namespace

const Signature exit_signature = define<Outbox_exit>({
    .name = "__exit__",
    .doc = "End this capture: each module gets back what it had when the capture began.",
    .returns = "None",
});

} // namespace vantrel::testing
