// The callable type behind the module's four functions.
#pragma once

#include "signature.hpp"

namespace clipweave {

// What a callable holds besides the object header; constructed in place
// after allocation and destroyed in dealloc.
struct FunctionFields {
    const Signature* sig = nullptr;
    py::Object param_names[kMaxParams];  // interned
    py::Object name;
    py::Object module_name;
    py::Object doc;
    py::Object defaults;     // tuple or None
    py::Object annotations;  // dict
    py::Object code;
};

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    FunctionFields d;
};

// Readies the type once per process.
void function_type_ready();

// A new callable for sig, its __module__ set to module_name.
py::Object function_new(const Signature& sig, py::Handle module_name);

}  // namespace clipweave
