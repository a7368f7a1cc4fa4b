#include "function.hpp"

#include <structmember.h>

#include <cstddef>
#include <new>
#include <string>

#include "binding.hpp"

namespace clipweave {
namespace {

FunctionObject* as_function(PyObject* self) { return reinterpret_cast<FunctionObject*>(self); }

// The one place where C++ exceptions from a body meet the C API.
PyObject* run_body(const FunctionObject& f, const BoundArgs& args) {
    try {
        return f.sig->body(args).release();
    } catch (const py::PyErrOccurred&) {
        return nullptr;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
        return nullptr;
    }
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    const FunctionObject& f = *as_function(self);
    BoundArgs bound;
    if (bind_vector(f, args, PyVectorcall_NARGS(nargsf), kwnames, bound) < 0) return nullptr;
    return run_body(f, bound);
}

PyObject* function_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    const FunctionObject& f = *as_function(self);
    if (kwargs != nullptr && !PyArg_ValidateKeywordArguments(kwargs)) return nullptr;
    BoundArgs bound;
    if (bind_tuple_dict(f, args, kwargs, bound) < 0) return nullptr;
    return run_body(f, bound);
}

void function_dealloc(PyObject* self) {
    FunctionObject* f = as_function(self);
    for (PyObject*& p : f->param_names) Py_CLEAR(p);
    Py_CLEAR(f->name);
    Py_CLEAR(f->module_name);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->code);
    Py_TYPE(self)->tp_free(self);
}

PyObject* function_repr(PyObject* self) {
    const FunctionObject* f = as_function(self);
    return PyUnicode_FromFormat("<function %U.%U>", f->module_name, f->name);
}

// Binds like a Python function when looked up through an instance, which is
// also what makes introspection and help() treat it as a routine.
PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject* /*type*/) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

// Pickled by reference, as the module global of the same name.
PyObject* function_reduce(PyObject* self, PyObject* /*unused*/) {
    return Py_NewRef(as_function(self)->name);
}

PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

#define FIELD(attr) offsetof(FunctionObject, attr)
PyMemberDef function_members[] = {
    {"__name__", T_OBJECT, FIELD(name), READONLY, nullptr},
    {"__qualname__", T_OBJECT, FIELD(name), READONLY, nullptr},
    {"__module__", T_OBJECT, FIELD(module_name), READONLY, nullptr},
    {"__doc__", T_OBJECT, FIELD(doc), READONLY, nullptr},
    {"__defaults__", T_OBJECT, FIELD(defaults), READONLY, nullptr},
    {"__annotations__", T_OBJECT, FIELD(annotations), READONLY, nullptr},
    {"__code__", T_OBJECT, FIELD(code), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};
#undef FIELD

PyGetSetDef function_getset[] = {
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject FunctionType = [] {
    PyTypeObject t{};  // all slots empty, then the few we use
    Py_SET_REFCNT(reinterpret_cast<PyObject*>(&t), 1);
    t.tp_name = "clipweave.clipweave.function";
    t.tp_basicsize = sizeof(FunctionObject);
    t.tp_dealloc = function_dealloc;
    t.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    t.tp_repr = function_repr;
    t.tp_call = function_call;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL;
    t.tp_doc = "A function of the clipweave extension module.";
    t.tp_methods = function_methods;
    t.tp_members = function_members;
    t.tp_getset = function_getset;
    t.tp_descr_get = function_descr_get;
    return t;
}();

// A code object carrying the parameter names, for signature introspection.
PyObject* make_code(const Signature& sig) {
    std::string src = "def ";
    src += sig.name;
    src += '(';
    for (int i = 0; i < sig.nparams; ++i) {
        if (i) src += ", ";
        src += sig.params[i].name;
    }
    src += "): pass\n";
    py::Object module_code = py::Object::steal(
        Py_CompileString(src.c_str(), "<clipweave.clipweave>", Py_file_input));
    py::Object consts = module_code.attr("co_consts");
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(consts.ptr()); ++i) {
        PyObject* c = PyTuple_GET_ITEM(consts.ptr(), i);
        if (PyCode_Check(c)) return Py_NewRef(c);
    }
    PyErr_SetString(PyExc_SystemError, "clipweave: no code object compiled");
    return nullptr;
}

PyObject* make_annotations(const Signature& sig) {
    py::Object ann = py::Object::steal(PyDict_New());
    for (int i = 0; i < sig.nparams; ++i) {
        py::Object text = py::str(sig.params[i].kind == Kind::Float ? "float" : "str");
        if (PyDict_SetItemString(ann.ptr(), sig.params[i].name, text.ptr()) < 0)
            py::raise_current();
    }
    py::Object ret = py::str(sig.return_annotation);
    if (PyDict_SetItemString(ann.ptr(), "return", ret.ptr()) < 0) py::raise_current();
    return ann.release();
}

}  // namespace

int function_type_ready() {
    if (FunctionType.tp_flags & Py_TPFLAGS_READY) return 0;
    return PyType_Ready(&FunctionType);
}

PyObject* function_new(const Signature& sig, PyObject* module_name) {
    try {
        py::Object self = py::Object::steal(PyObject_New(PyObject, &FunctionType));
        FunctionObject* f = as_function(self.ptr());
        // Every field is NULL before anything can fail, so dealloc is safe.
        f->vectorcall = function_vectorcall;
        f->sig = &sig;
        for (PyObject*& p : f->param_names) p = nullptr;
        f->name = f->module_name = f->doc = f->defaults = f->annotations = f->code = nullptr;
        for (int i = 0; i < sig.nparams; ++i) {
            f->param_names[i] = PyUnicode_InternFromString(sig.params[i].name);
            if (f->param_names[i] == nullptr) return nullptr;
        }
        f->name = PyUnicode_InternFromString(sig.name);
        if (f->name == nullptr) return nullptr;
        f->module_name = Py_NewRef(module_name);
        f->doc = py::str(sig.doc).release();
        if (sig.default_value != nullptr) {
            py::Object dflt = py::str(sig.default_value);
            f->defaults = PyTuple_Pack(1, dflt.ptr());
            if (f->defaults == nullptr) return nullptr;
        } else {
            f->defaults = Py_NewRef(Py_None);
        }
        f->annotations = make_annotations(sig);
        f->code = make_code(sig);
        if (f->code == nullptr) return nullptr;
        return self.release();
    } catch (const py::PyErrOccurred&) {
        return nullptr;
    }
}

}  // namespace clipweave
