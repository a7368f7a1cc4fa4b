// Entry point and multi-phase initialisation of clipweave.clipweave.
//
// The module exists once per process: creation hands back the module made
// first, and exec on that same object is a no-op, so deleting it from
// sys.modules and importing again yields the identical object.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

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

// getattr(obj, name) that reports a missing attribute as 0 with *out NULL.
int lookup_attr(PyObject* obj, PyObject* name, PyObject** out) {
    *out = PyObject_GetAttr(obj, name);
    if (*out != nullptr) return 1;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
}

// Copies spec.<from> to module.<to>; a missing spec attribute is skipped.
int copy_spec_attr(PyObject* spec, PyObject* module, const char* from, const char* to,
                   bool skip_none) {
    PyObject* key = PyUnicode_InternFromString(from);
    if (key == nullptr) return -1;
    PyObject* value = nullptr;
    const int found = lookup_attr(spec, key, &value);
    Py_DECREF(key);
    if (found <= 0) return found;
    int rc = 0;
    if (!(skip_none && value == Py_None)) rc = PyObject_SetAttrString(module, to, value);
    Py_DECREF(value);
    return rc;
}

PyObject* module_create(PyObject* spec, PyModuleDef* /*def*/) {
    ProcessState& state = process_state();
    const long long id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1 && PyErr_Occurred()) return nullptr;
    if (state.interpreter_id == -1) {
        state.interpreter_id = id;
    } else if (state.interpreter_id != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into "
                        "one interpreter per process.");
        return nullptr;
    }
    if (state.module != nullptr) {
        // The importer drops the module's state pointer on the way back
        // (without freeing it) and exec then allocates a new one; free the
        // old block here so that every re-import does not leak one.
        PyMem_Free(PyModule_GetState(state.module));
        return Py_NewRef(state.module);
    }

    PyObject* name = PyObject_GetAttrString(spec, "name");
    if (name == nullptr) return nullptr;
    PyObject* module = PyModule_NewObject(name);
    Py_DECREF(name);
    if (module == nullptr) return nullptr;
    if (copy_spec_attr(spec, module, "loader", "__loader__", false) < 0 ||
        copy_spec_attr(spec, module, "origin", "__file__", false) < 0 ||
        copy_spec_attr(spec, module, "parent", "__package__", false) < 0 ||
        copy_spec_attr(spec, module, "submodule_search_locations", "__path__", true) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}

int check_runtime_version() {
    int major = 0;
    int minor = 0;
    if (std::sscanf(Py_GetVersion(), "%d.%d", &major, &minor) != 2) return 0;
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return 0;
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compile time Python version %d.%d of module '%.100s' %s "
                            "runtime version %d.%d",
                            PY_MAJOR_VERSION, PY_MINOR_VERSION, kModuleName, "does not match",
                            major, minor);
}

PyObject* builtin(const char* name) {
    PyObject* key = PyUnicode_InternFromString(name);
    if (key == nullptr) return nullptr;
    PyObject* value = PyDict_GetItemWithError(PyEval_GetBuiltins(), key);
    if (value == nullptr && !PyErr_Occurred())
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
    Py_DECREF(key);
    return value;  // borrowed
}

int take_builtins(ProcessState& state) {
    PyObject* print = builtin("print");
    if (print == nullptr) return -1;
    PyObject* open = builtin("open");
    if (open == nullptr) return -1;
    if (builtin("enumerate") == nullptr) return -1;
    Py_XSETREF(state.print, Py_NewRef(print));
    Py_XSETREF(state.open, Py_NewRef(open));
    return 0;
}

int import_into(PyObject* globals, const char* name) {
    PyObject* key = PyUnicode_InternFromString(name);
    if (key == nullptr) return -1;
    PyObject* module = PyImport_ImportModuleLevelObject(key, globals, nullptr, nullptr, 0);
    int rc = module != nullptr ? PyDict_SetItem(globals, key, module) : -1;
    Py_XDECREF(module);
    Py_DECREF(key);
    return rc;
}

// from urllib.parse import quote
int import_quote(PyObject* globals) {
    PyObject* name = PyUnicode_InternFromString("quote");
    PyObject* fromlist = name ? PyTuple_Pack(1, name) : nullptr;
    PyObject* package = PyUnicode_InternFromString("urllib.parse");
    PyObject* module = fromlist && package
                           ? PyImport_ImportModuleLevelObject(package, globals, nullptr, fromlist, 0)
                           : nullptr;
    PyObject* value = nullptr;
    if (module != nullptr && lookup_attr(module, name, &value) == 0) {
        // Not an attribute: a submodule of that dotted name will do.
        PyObject* dotted = PyUnicode_FromFormat("%U.%U", package, name);
        if (dotted != nullptr) {
            value = PyImport_GetModule(dotted);
            if (value == nullptr && !PyErr_Occurred())
                PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
            Py_DECREF(dotted);
        }
    }
    const int rc = value != nullptr ? PyDict_SetItem(globals, name, value) : -1;
    Py_XDECREF(value);
    Py_XDECREF(module);
    Py_XDECREF(package);
    Py_XDECREF(fromlist);
    Py_XDECREF(name);
    return rc;
}

int add_callables(PyObject* globals) {
    PyObject* module_name = PyUnicode_InternFromString(kModuleName);
    if (module_name == nullptr) return -1;
    int rc = 0;
    for (const Signature* s = callables_begin(); rc == 0 && s != callables_end(); ++s) {
        PyObject* f = function_new(*s, module_name);
        rc = f != nullptr ? PyDict_SetItemString(globals, s->name, f) : -1;
        Py_XDECREF(f);
    }
    Py_DECREF(module_name);
    return rc;
}

int add_test_dict(PyObject* globals) {
    PyObject* d = PyDict_New();
    if (d == nullptr) return -1;
    const int rc = PyDict_SetItemString(globals, "__test__", d);
    Py_DECREF(d);
    return rc;
}

int exec_steps(PyObject* module) {
    ProcessState& state = process_state();
    PyObject* globals = PyModule_GetDict(module);
    if (check_runtime_version() < 0) return -1;
    if (take_builtins(state) < 0) return -1;
    for (const char* name : {"json", "subprocess", "requests", "base64", "re", "time", "os"}) {
        if (import_into(globals, name) < 0) return -1;
    }
    if (import_quote(globals) < 0) return -1;
    if (function_type_ready() < 0) return -1;
    if (add_callables(globals) < 0) return -1;
    if (add_test_dict(globals) < 0) return -1;
    return 0;
}

int module_exec(PyObject* module) {
    ProcessState& state = process_state();
    if (state.module != nullptr) {
        if (state.module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'clipweave' has already been imported. Re-initialisation is "
                        "not supported.");
        return -1;
    }
    state.module = Py_NewRef(module);
    if (exec_steps(module) < 0) {
        Py_CLEAR(state.module);
        Py_CLEAR(state.print);
        Py_CLEAR(state.open);
        return -1;
    }
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
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
