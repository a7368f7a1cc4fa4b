// The static description of one module callable: its parameters, default,
// documentation and body. The binding reads it; so does introspection.
#pragma once

#include "common/pyref.hpp"

namespace clipweave {

constexpr int kMaxParams = 5;

enum class Kind { Str, Float };

struct Param {
    const char* name;
    Kind kind;
};

// The arguments of one call after binding and checking. Each is owned for
// the whole call, as a Python function's locals are: the caller's argument
// array or keyword dict may be changed by code the call runs (a __float__, a
// stdout hook) and must not take an argument away from under the body.
struct BoundArgs {
    py::Object arg[kMaxParams];     // by parameter position; exact str for str parameters
    double real[kMaxParams] = {};  // float parameters, converted

    py::Handle str(int i) const noexcept { return arg[i]; }
    double number(int i) const noexcept { return real[i]; }
};

using Body = py::Object (*)(const BoundArgs&);

struct Signature {
    const char* name;
    const char* doc;
    Param params[kMaxParams];
    int nparams;
    int nrequired;              // the rest take default_value
    const char* default_value;  // a str default, or nullptr
    const char* return_annotation;
    Body body;
};

}  // namespace clipweave
