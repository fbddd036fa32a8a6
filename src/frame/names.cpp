// Strings made at start-up and keyword tuples.
#include "frame/names.hpp"

namespace vantrel {

namespace {
// Intrusive lists of every StaticString and KwNames of this shared library.
// Plain pointers are zero-initialised before any constructor runs, so the
// order of static construction across files does not matter.
StaticString* all_strings;
KwNames* all_kwnames;

PyObject* make_string(const char* text, bool interned) {
    return interned ? PyUnicode_InternFromString(text) : PyUnicode_FromString(text);
}
} // namespace

StaticString::StaticString(const char* text, bool interned) noexcept
    : text_(text), interned_(interned), next_(all_strings) {
    all_strings = this;
}

KwNames* KwNames::link() noexcept {
    KwNames* head = all_kwnames;
    all_kwnames = this;
    return head;
}

void intern_names() {
    for (StaticString* string = all_strings; string; string = string->next_) {
        if (!string->object_)
            string->object_ = checked(make_string(string->text_, string->interned_)).release();
    }
    for (KwNames* kw = all_kwnames; kw; kw = kw->next_) {
        if (kw->tuple_) continue;
        Ref tuple = checked(PyTuple_New(kw->size_));
        for (Py_ssize_t i = 0; i < kw->size_; ++i) {
            PyTuple_SET_ITEM(tuple.get(), i, checked(make_string(kw->names_[i], true)).release());
        }
        kw->tuple_ = tuple.release();
    }
}

} // namespace vantrel
