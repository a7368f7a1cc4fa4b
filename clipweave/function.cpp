#include "function.hpp"

#include <structmember.h>

#include <cstddef>
#include <new>
#include <string>

#include "binding.hpp"

namespace clipweave {
namespace {

FunctionObject* as_function(PyObject* self) { return reinterpret_cast<FunctionObject*>(self); }

// Runs the body with the bound arguments, which it owns until it returns.
PyObject* run_body(const FunctionFields& f, const BoundArgs& bound) {
    py::Object result;
    if (!py::at_c_boundary([&] { result = f.sig->body(bound); })) return nullptr;
    return result.release();
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    const FunctionFields& f = as_function(self)->d;
    BoundArgs bound;
    if (bind_vector(f, args, PyVectorcall_NARGS(nargsf), kwnames, bound) < 0) return nullptr;
    return run_body(f, bound);
}

PyObject* function_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    const FunctionFields& f = as_function(self)->d;
    if (kwargs != nullptr && !PyArg_ValidateKeywordArguments(kwargs)) return nullptr;
    BoundArgs bound;
    if (bind_tuple_dict(f, args, kwargs, bound) < 0) return nullptr;
    return run_body(f, bound);
}

void function_dealloc(PyObject* self) {
    as_function(self)->d.~FunctionFields();
    Py_TYPE(self)->tp_free(self);
}

PyObject* function_repr(PyObject* self) {
    const FunctionFields& f = as_function(self)->d;
    return PyUnicode_FromFormat("<function %U.%U>", f.module_name.ptr(), f.name.ptr());
}

// Binds like a Python function when looked up through an instance, which is
// also what makes introspection and help() treat it as a routine.
PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject* /*type*/) {
    if (obj == nullptr || obj == Py_None) return py::Object::borrow(self).release();
    return PyMethod_New(self, obj);
}

// Pickled by reference, as the module global of the same name.
PyObject* function_reduce(PyObject* self, PyObject* /*unused*/) {
    return py::Object::borrow(as_function(self)->d.name).release();
}

PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

#define FIELD(attr) (offsetof(FunctionObject, d) + offsetof(FunctionFields, attr))
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
py::Object make_code(const Signature& sig) {
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
    py::Object consts = module_code.attr(py::interned("co_consts"));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(consts.ptr()); ++i) {
        PyObject* c = PyTuple_GET_ITEM(consts.ptr(), i);
        if (PyCode_Check(c)) return py::Object::borrow(c);
    }
    py::raise(PyExc_SystemError, "clipweave: no code object compiled");
}

py::Object make_annotations(const Signature& sig) {
    py::Object ann = py::dict({});
    for (int i = 0; i < sig.nparams; ++i) {
        py::set_item(ann, {sig.params[i].name, sig.params[i].kind == Kind::Float ? "float" : "str"});
    }
    py::set_item(ann, {"return", sig.return_annotation});
    return ann;
}

}  // namespace

void function_type_ready() {
    if (!(FunctionType.tp_flags & Py_TPFLAGS_READY)) py::require(PyType_Ready(&FunctionType));
}

py::Object function_new(const Signature& sig, py::Handle module_name) {
    py::Object self = py::Object::steal(PyObject_New(PyObject, &FunctionType));
    // Every field is constructed empty before anything can fail, so dealloc is safe.
    as_function(self.ptr())->vectorcall = function_vectorcall;
    FunctionFields* f = new (&as_function(self.ptr())->d) FunctionFields;
    f->sig = &sig;
    for (int i = 0; i < sig.nparams; ++i) f->param_names[i] = py::interned(sig.params[i].name);
    f->name = py::interned(sig.name);
    f->module_name = py::Object::borrow(module_name);
    f->doc = py::str(sig.doc);
    f->defaults = sig.default_value != nullptr
                      ? py::Object::steal(PyTuple_Pack(1, py::str(sig.default_value).ptr()))
                      : py::Object::borrow(py::none());
    f->annotations = make_annotations(sig);
    f->code = make_code(sig);
    return self;
}

}  // namespace clipweave
