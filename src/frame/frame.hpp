// The frame shared by vantrel's extension modules, all of it: what a module's
// file includes.  Each header below holds one concern.
#pragma once

#include "frame/calls.hpp"     // calls, attributes, the with statement
#include "frame/functions.hpp" // parameter tables, signatures, native functions
#include "frame/modules.hpp"   // the module frame: start-up, imports, classes
#include "frame/names.hpp"     // Name, Text, KwNames
#include "frame/native.hpp"    // native types: slots, the instance check
#include "frame/ref.hpp"       // Ref, Error and raising
#include "frame/views.hpp"     // str and bytes as string views
