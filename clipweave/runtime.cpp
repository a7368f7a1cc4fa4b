#include "runtime.hpp"

namespace clipweave {

ProcessState& process_state() {
    static ProcessState state;
    return state;
}

namespace {

// A callable can outlive a failed initialisation only through C code that
// kept it; fail cleanly rather than touch state that is gone.
const ProcessState& ready_state() {
    const ProcessState& state = process_state();
    if (state.module == nullptr || state.print == nullptr || state.open == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "clipweave.clipweave is not initialised");
        py::raise_current();
    }
    return state;
}

}  // namespace

py::Object global(const char* name) {
    py::Object key = py::Object::steal(PyUnicode_InternFromString(name));
    PyObject* globals = PyModule_GetDict(ready_state().module);
    PyObject* value = PyDict_GetItemWithError(globals, key.ptr());
    if (value == nullptr && !PyErr_Occurred()) {
        PyObject* builtins = PyEval_GetBuiltins();
        if (builtins != nullptr) value = PyDict_GetItemWithError(builtins, key.ptr());
        if (value == nullptr && !PyErr_Occurred())
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", key.ptr());
    }
    if (value == nullptr) py::raise_current();
    return py::Object::borrow(value);
}

void print(py::Handle text, std::initializer_list<py::Kwarg> kwargs) {
    py::Handle(ready_state().print)({text}, kwargs);
}

void print(const char* utf8) { print(py::str(utf8)); }

py::Object open(std::initializer_list<py::Handle> args, std::initializer_list<py::Kwarg> kwargs) {
    return py::Handle(ready_state().open)(args, kwargs);
}

}  // namespace clipweave
