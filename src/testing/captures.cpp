// vantrel.testing: the captures that are active, innermost last, and what
// each found bound in the modules it rebinds.
#include "testing/testing.hpp"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace vantrel::testing {
namespace {

Name n_connect{"_connect"};
Name n_open{"_open"};
Name n_start_tls{"_start_tls"};

// What a capture rebinds: a module's name for what it delivers through.
struct Target {
    const char* module;
    const Name& name;
    enum Kind : std::uint8_t {
        Smtplib,  // the capture's stand-in smtplib module
        Connect,  // the capture's _connect, which opens stand-in transports
        Open,     // vantrel.aio's: the capture's _open, asyncio stand-in transports
        StartTls, // and their TLS handshake
    } kind;
    bool where_bound; // skipped where the module has no such name
};

// A module not imported yet is skipped too.  vantrel.mailer delivers through
// smtplib; vantrel.session opens its connections through _connect and reads
// smtplib too, which the stand-in module serves with smtplib's own classes.
const Target targets[] = {
    {"vantrel.mailer", n_smtplib, Target::Smtplib, false},
    {"vantrel.session", n_smtplib, Target::Smtplib, false},
    {"vantrel.session", n_connect, Target::Connect, true},
    {"vantrel.aio", n_open, Target::Open, true},
    {"vantrel.aio", n_start_tls, Target::StartTls, true},
};
constexpr std::size_t target_count = std::size(targets);

// The stand-in module that each capture copies to bind; made at import and
// kept for the process.
PyObject* standin;

// The number of the capture that began last.  A connection remembers the
// capture it was opened in by its number, which no other capture of the
// process shares.
std::uint64_t last_serial;

// Innermost last.  Made at import and never destroyed: it holds references,
// which must not be released after the interpreter has gone.
std::vector<Active>* active;

// Puts back what a capture found for one target: the value, or no name at
// all where there was none.
void restore(std::size_t target, const Saved& saved) {
    PyObject* names = PyModule_GetDict(saved.module.get());
    if (saved.value) {
        checked(PyDict_SetItem(names, targets[target].name.get(), saved.value.get()));
    } else {
        checked(PyDict_Pop(names, targets[target].name.get(), nullptr));
    }
}

// Each capture binds a stand-in module and a _connect of its own, so that
// what is bound changes whenever a capture begins or ends: a session that
// remembers what it connected through sees that its connection belongs to
// another capture state.
Ref new_standin() {
    Ref module = checked(PyModule_New("smtplib"));
    checked(PyDict_Update(PyModule_GetDict(module.get()), PyModule_GetDict(standin)));
    return module;
}

} // namespace

void start_captures(Ref module) {
    if (!standin) standin = module.release();
    if (!active) active = new std::vector<Active>;
}

std::uint64_t begin_capture(PyObject* outbox) {
    Active entry{Ref::borrow(outbox), last_serial + 1, std::vector<Saved>(target_count)};
    const Ref installed[] = {new_standin(), new_connect_function(), new_aio_open_function(),
                             new_aio_start_tls_function()};
    // What each target holds now, found before anything is bound.
    for (std::size_t i = 0; i < target_count; ++i) {
        Ref module =
            Ref::steal(PyImport_GetModule(checked(PyUnicode_FromString(targets[i].module)).get()));
        if (!module) {
            if (PyErr_Occurred()) raise_error();
            continue;
        }
        PyObject* found = nullptr;
        checked(PyDict_GetItemRef(PyModule_GetDict(module.get()), targets[i].name.get(), &found));
        if (!found && targets[i].where_bound) continue;
        entry.saved[i] = {std::move(module), Ref::steal(found)};
    }
    active->reserve(active->size() + 1);
    for (std::size_t i = 0; i < target_count; ++i) {
        const Saved& saved = entry.saved[i];
        if (!saved.module) continue;
        checked(PyDict_SetItem(PyModule_GetDict(saved.module.get()), targets[i].name.get(),
                               installed[targets[i].kind].get()));
    }
    last_serial = entry.serial;
    active->push_back(std::move(entry));
    return last_serial;
}

namespace {

// Ends the innermost active capture that `match` accepts.  Ending one that is
// not the innermost hands what it saved to the captures that began after it,
// which then restore that when they end.
template <class Match> void end_capture_where(Match&& match) {
    size_t i = active->size();
    while (i > 0 && !match((*active)[i - 1]))
        --i;
    if (i == 0) {
        raise(PyExc_RuntimeError, "this outbox is not capturing");
    }
    // Released only when the list is consistent again.
    Active ended = std::move((*active)[i - 1]);
    active->erase(active->begin() + static_cast<std::ptrdiff_t>(i - 1));
    for (std::size_t target = 0; target < target_count; ++target) {
        Saved& saved = ended.saved[target];
        if (!saved.module) continue;
        // The first later capture that rebound this target found this
        // capture's stand-in there, and gets what this one found instead;
        // with none, the stand-in is still bound and goes now.
        auto later = std::ranges::find_if(
            active->begin() + static_cast<std::ptrdiff_t>(i - 1), active->end(),
            [&](const Active& a) { return bool(a.saved[target].module); });
        if (later != active->end()) {
            later->saved[target].value = std::move(saved.value);
        } else {
            restore(target, saved);
        }
    }
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
