// Argument binding, checking and conversion for the module's callables.
#pragma once

#include "function.hpp"

namespace clipweave {

// Vectorcall convention: args[0..nargs) positional, then one value per
// name in kwnames (which may be NULL). Returns -1 with the error set.
int bind_vector(const FunctionFields& f, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames, BoundArgs& out);

// Generic convention: a tuple and an optional dict.
int bind_tuple_dict(const FunctionFields& f, PyObject* args, PyObject* kwargs, BoundArgs& out);

}  // namespace clipweave
