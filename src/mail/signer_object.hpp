// The instance of vantrel.dkim.Signer, as the dkim module makes it and the
// sessions read it: the C++ signer behind the Python object.
#pragma once

#include "dkim/dkim.hpp"
#include "frame/frame.hpp"

namespace vantrel::mail {

struct SignerObject {
    PyObject_HEAD
    dkim::Signer* signer; // null until __init__ has run
    // The class, in the module that made it; the sessions find it by import.
    static inline PyTypeObject* type;
};

} // namespace vantrel::mail
