#include "frame/frame.hpp"
using namespace vantrel;
namespace {
void module_body(ModuleFrame&, PyObject*) {}
ModuleFrame self{"mailer", "vantrel.mailer", module_body};
} // namespace
PyMODINIT_FUNC PyInit_mailer() { return self.init(); }
