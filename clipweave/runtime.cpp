#include "runtime.hpp"

namespace clipweave {

ProcessState& process_state() {
    static ProcessState* state = new ProcessState;
    return *state;
}

void intern_names(Names& names) {
#define CLIPWEAVE_INTERN_NAME(name) \
    if (!names.name) names.name = py::interned(#name);
    CLIPWEAVE_NAMES(CLIPWEAVE_INTERN_NAME)
#undef CLIPWEAVE_INTERN_NAME
}

namespace {

// A callable can outlive a failed initialisation only through C code that
// kept it; fail cleanly rather than touch state that is gone.
const ProcessState& ready_state() {
    const ProcessState& state = process_state();
    if (!state.module || !state.print || !state.open)
        py::raise(PyExc_RuntimeError, "clipweave.clipweave is not initialised");
    return state;
}

}  // namespace

const Names& names() { return ready_state().names; }

py::Object global(py::Handle name) {
    PyObject* globals = PyModule_GetDict(ready_state().module.ptr());
    PyObject* value = PyDict_GetItemWithError(globals, name.ptr());
    if (value == nullptr && !PyErr_Occurred()) {
        PyObject* builtins = PyEval_GetBuiltins();
        if (builtins != nullptr) value = PyDict_GetItemWithError(builtins, name.ptr());
        if (value == nullptr && !PyErr_Occurred())
            py::raise_format(PyExc_NameError, "name '%U' is not defined", name.ptr());
    }
    if (value == nullptr) py::raise_current();
    return py::Object::borrow(value);
}

void print(py::Handle text, std::initializer_list<py::Kwarg> kwargs) {
    ready_state().print({text}, kwargs);
}

void print(const char* utf8) { print(py::str(utf8)); }

py::Object open(std::initializer_list<py::Arg> args, std::initializer_list<py::Kwarg> kwargs) {
    return ready_state().open(args, kwargs);
}

}  // namespace clipweave
