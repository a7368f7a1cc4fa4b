// The callable type behind the module's four functions.
#pragma once

#include "signature.hpp"

namespace clipweave {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const Signature* sig;
    PyObject* param_names[kMaxParams];  // interned
    PyObject* name;
    PyObject* module_name;
    PyObject* doc;
    PyObject* defaults;     // tuple or None
    PyObject* annotations;  // dict
    PyObject* code;
};

// Readies the type once per process.
int function_type_ready();

// A new callable for sig, its __module__ set to module_name.
PyObject* function_new(const Signature& sig, PyObject* module_name);

}  // namespace clipweave
