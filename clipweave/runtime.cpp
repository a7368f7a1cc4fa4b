#include "runtime.hpp"

namespace clipweave {

ProcessState& process_state() {
    static ProcessState state;
    return state;
}

py::Object global(const char* name) {
    py::Object key = py::Object::steal(PyUnicode_InternFromString(name));
    PyObject* globals = PyModule_GetDict(process_state().module);
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

void print(py::Handle text) { py::Handle(process_state().print)({text}); }

void print(const char* utf8) { print(py::str(utf8)); }

py::Object open(std::initializer_list<py::Handle> args, std::initializer_list<py::Kwarg> kwargs) {
    return py::Handle(process_state().open)(args, kwargs);
}

}  // namespace clipweave
