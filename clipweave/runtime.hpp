// What the bodies reach at call time: the module's globals, with the
// builtins behind them, and the print and open taken at initialisation.
#pragma once

#include "pyref.hpp"

namespace clipweave {

// Process-wide: the module lives in one interpreter for the life of the process.
struct ProcessState {
    long long interpreter_id = -1;  // -1 until the first creation
    PyObject* module = nullptr;     // set while exec runs and after it succeeds
    PyObject* print = nullptr;
    PyObject* open = nullptr;
};

ProcessState& process_state();

// The value bound to name in the module's globals, else in the builtins,
// else NameError. Looked up anew on every use, so rebinding takes effect.
py::Object global(const char* name);

// print(text, ...) with the builtin taken at initialisation.
void print(py::Handle text, std::initializer_list<py::Kwarg> kwargs = {});
void print(const char* utf8);

// open(path, ...) with the builtin taken at initialisation.
py::Object open(std::initializer_list<py::Handle> args, std::initializer_list<py::Kwarg> kwargs = {});

}  // namespace clipweave
