// The static description of one module callable: its parameters, default,
// documentation and body. The binding reads it; so does introspection.
#pragma once

#include "pyref.hpp"

namespace clipweave {

constexpr int kMaxParams = 5;

enum class Kind { Str, Float };

struct Param {
    const char* name;
    Kind kind;
};

// Arguments after binding and checking: a borrowed exact str, or a double.
struct BoundArgs {
    PyObject* obj[kMaxParams] = {};
    double num[kMaxParams] = {};

    py::Handle str(int i) const noexcept { return obj[i]; }
    double real(int i) const noexcept { return num[i]; }
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
