// The host's with-statement for C++ code: enter, run, and always exit; an
// exception from the block goes to __exit__, which may suppress it, and an
// exception from __exit__ replaces it with the original as its context.
#pragma once

#include "pyref.hpp"

namespace clipweave::py {

template <class Block>
void with(Handle manager, Block&& block) {
    // Special methods come from the type, as the statement takes them.
    Handle type_of(reinterpret_cast<PyObject*>(Py_TYPE(manager.ptr())));
    Object enter = type_of.attr("__enter__");
    Object exit = type_of.attr("__exit__");
    Object value = enter({manager});
    try {
        block(Handle(value));
    } catch (const PyErrOccurred&) {
        PyObject *type, *exc, *tb;
        PyErr_Fetch(&type, &exc, &tb);
        PyErr_NormalizeException(&type, &exc, &tb);
        if (tb != nullptr) PyException_SetTraceback(exc, tb);
        PyObject* r = PyObject_CallFunctionObjArgs(exit.ptr(), manager.ptr(), type, exc,
                                                   tb ? tb : Py_None, nullptr);
        if (r == nullptr) {
            _PyErr_ChainExceptions(type, exc, tb);
            throw;
        }
        const int suppress = PyObject_IsTrue(r);
        Py_DECREF(r);
        if (suppress > 0) {
            Py_XDECREF(type);
            Py_XDECREF(exc);
            Py_XDECREF(tb);
            return;
        }
        if (suppress < 0) {
            _PyErr_ChainExceptions(type, exc, tb);
            throw;
        }
        PyErr_Restore(type, exc, tb);
        throw;
    }
    exit({manager, none(), none(), none()});
}

}  // namespace clipweave::py
