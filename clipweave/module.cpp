// Entry point and multi-phase initialisation of clipweave.clipweave.
//
// The module exists once per process: creation hands back the module made
// first, and exec on that same object is a no-op, so deleting it from
// sys.modules and importing again yields the identical object.
#include <cstdio>

#include "callables.hpp"
#include "function.hpp"
#include "runtime.hpp"

namespace clipweave {
namespace {

constexpr const char kModuleName[] = "clipweave.clipweave";

constexpr const char kModuleDoc[] =
    "Narrated vertical video recaps.\n"
    "\n"
    "A C++17 extension module written against the CPython C API and built\n"
    "with setuptools; every cut, merge, join and render is a run of ffmpeg,\n"
    "and the two remote services are reached through requests.";

// getattr(obj, name), empty when the attribute is missing.
py::Object optional_attr(py::Handle obj, const char* name) {
    py::Object key = py::interned(name);
    PyObject* value = PyObject_GetAttr(obj.ptr(), key.ptr());
    if (value == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) py::raise_current();
        PyErr_Clear();
    }
    return py::Object::adopt(value);
}

// Copies spec.<from> to module.<to>; a missing spec attribute is skipped.
void copy_spec_attr(py::Handle spec, py::Handle module, const char* from, const char* to,
                    bool skip_none) {
    py::Object value = optional_attr(spec, from);
    if (!value || (skip_none && value.ptr() == Py_None)) return;
    py::require(PyObject_SetAttrString(module.ptr(), to, value.ptr()));
}

py::Object create(py::Handle spec) {
    ProcessState& state = process_state();
    const long long id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1 && PyErr_Occurred()) py::raise_current();
    if (state.interpreter_id == -1) {
        state.interpreter_id = id;
    } else if (state.interpreter_id != id) {
        py::raise(PyExc_ImportError,
                  "Interpreter change detected - this module can only be loaded into one "
                  "interpreter per process.");
    }
    if (state.module) {
        // The importer drops the module's state pointer on the way back
        // (without freeing it) and exec then allocates a new one; free the
        // old block here so that every re-import does not leak one.
        PyMem_Free(PyModule_GetState(state.module.ptr()));
        return state.module;
    }
    py::Object name = spec.attr(py::interned("name"));
    py::Object module = py::Object::steal(PyModule_NewObject(name.ptr()));
    copy_spec_attr(spec, module, "loader", "__loader__", false);
    copy_spec_attr(spec, module, "origin", "__file__", false);
    copy_spec_attr(spec, module, "parent", "__package__", false);
    copy_spec_attr(spec, module, "submodule_search_locations", "__path__", true);
    return module;
}

void check_runtime_version() {
    int major = 0;
    int minor = 0;
    if (std::sscanf(Py_GetVersion(), "%d.%d", &major, &minor) != 2) return;
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return;
    py::require(PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                                 "compile time Python version %d.%d of module '%.100s' %s "
                                 "runtime version %d.%d",
                                 PY_MAJOR_VERSION, PY_MINOR_VERSION, kModuleName,
                                 "does not match", major, minor));
}

py::Object builtin(const char* name) {
    py::Object key = py::interned(name);
    PyObject* value = PyDict_GetItemWithError(PyEval_GetBuiltins(), key.ptr());
    if (value == nullptr && !PyErr_Occurred())
        py::raise_format(PyExc_NameError, "name '%U' is not defined", key.ptr());
    if (value == nullptr) py::raise_current();
    return py::Object::borrow(value);
}

void import_into(py::Handle globals, py::Handle name) {
    py::Object module = py::Object::steal(
        PyImport_ImportModuleLevelObject(name.ptr(), globals.ptr(), nullptr, nullptr, 0));
    py::require(PyDict_SetItem(globals.ptr(), name.ptr(), module.ptr()));
}

// from urllib.parse import quote
void import_quote(py::Handle globals, py::Handle name) {
    py::Object package = py::interned("urllib.parse");
    py::Object fromlist = py::Object::steal(PyTuple_Pack(1, name.ptr()));
    py::Object module = py::Object::steal(
        PyImport_ImportModuleLevelObject(package.ptr(), globals.ptr(), nullptr, fromlist.ptr(), 0));
    py::Object value = optional_attr(module, "quote");
    if (!value) {
        // Not an attribute: a submodule of that dotted name will do.
        py::Object dotted = py::Object::steal(PyUnicode_FromFormat("%U.%U", package.ptr(), name.ptr()));
        value = py::Object::adopt(PyImport_GetModule(dotted.ptr()));
        if (PyErr_Occurred()) py::raise_current();
        if (!value) py::raise_format(PyExc_ImportError, "cannot import name %S", name.ptr());
    }
    py::require(PyDict_SetItem(globals.ptr(), name.ptr(), value.ptr()));
}

void exec_steps(py::Handle module) {
    ProcessState& state = process_state();
    py::Handle globals = PyModule_GetDict(module.ptr());
    check_runtime_version();
    py::Object print = builtin("print");
    py::Object open = builtin("open");
    builtin("enumerate");
    state.print = print;
    state.open = open;
    intern_names(state.names);
    const Names& n = state.names;
    for (const py::Object* name : {&n.json, &n.subprocess, &n.requests, &n.base64, &n.re, &n.time, &n.os})
        import_into(globals, *name);
    import_quote(globals, n.quote);
    function_type_ready();
    py::Object module_name = py::interned(kModuleName);
    for (const Signature* s = callables_begin(); s != callables_end(); ++s) {
        py::Object f = function_new(*s, module_name);
        py::require(PyDict_SetItemString(globals.ptr(), s->name, f.ptr()));
    }
    py::Object test = py::Object::steal(PyDict_New());
    py::require(PyDict_SetItemString(globals.ptr(), "__test__", test.ptr()));
}

// The two slots are the C boundary of initialisation.

PyObject* module_create(PyObject* spec, PyModuleDef* /*def*/) {
    py::Object module;
    if (!py::at_c_boundary([&] { module = create(spec); })) return nullptr;
    return module.release();
}

int module_exec(PyObject* module) {
    ProcessState& state = process_state();
    if (state.module) {
        if (state.module.ptr() == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'clipweave' has already been imported. Re-initialisation is "
                        "not supported.");
        return -1;
    }
    state.module = py::Object::borrow(module);
    if (py::at_c_boundary([&] { exec_steps(module); })) return 0;
    state.module = py::Object();
    state.print = py::Object();
    state.open = py::Object();
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#ifdef Py_mod_multiple_interpreters
    // Creation itself refuses every interpreter but the first, with its own
    // message; declaring support lets the importer reach it there.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "clipweave",
    kModuleDoc,
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace clipweave

PyMODINIT_FUNC PyInit_clipweave(void) { return PyModuleDef_Init(&clipweave::module_def); }
