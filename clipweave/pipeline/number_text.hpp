// Text forms of doubles, identical to the interpreter's own.
#pragma once

#include <string>

#include "../pyref.hpp"

namespace clipweave::pipeline {

// PyOS_double_to_string's result, freed on leaving.
inline std::string double_text(double v, char format_code, int precision, int flags) {
    char* text = PyOS_double_to_string(v, format_code, precision, flags, nullptr);
    if (text == nullptr) py::raise_current();
    std::string out(text);
    PyMem_Free(text);
    return out;
}

// repr(v): the shortest text that reads back as v, ".0" on integral values.
inline std::string repr_text(double v) { return double_text(v, 'r', 0, Py_DTSF_ADD_DOT_0); }

// format(v, ".<digits>f"), correctly rounded.
inline std::string fixed_text(double v, int digits) { return double_text(v, 'f', digits, 0); }

}  // namespace clipweave::pipeline
