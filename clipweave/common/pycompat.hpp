// The raised-exception calls of CPython 3.12 on every supported version.
// 3.12 keeps one exception object where older versions keep a (type, value,
// traceback) triple; normalised, with the traceback set on the value, the
// triple says the same.
#pragma once

#include "pyref.hpp"

namespace clipweave::py {

// Takes the raised exception out of the interpreter; empty when none is set.
inline Object fetch_raised() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return Object::adopt(PyErr_GetRaisedException());
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    Object owned_type = Object::adopt(type), owned_tb = Object::adopt(tb);
    if (owned_tb) PyException_SetTraceback(value, tb);
    return Object::adopt(value);
#endif
}

// Raises exc again, as it was fetched.
inline void restore_raised(Object exc) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc.release());
#else
    Object type = Object::borrow(Handle(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr()))));
    Object tb = Object::adopt(PyException_GetTraceback(exc.ptr()));
    PyErr_Restore(type.release(), exc.release(), tb.release());
#endif
}

// The raised exception gets context as its __context__, as an exception
// raised while handling another does.
inline void chain_raised(Object context) noexcept {
    Object exc = fetch_raised();
    PyException_SetContext(exc.ptr(), context.release());
    restore_raised(std::move(exc));
}

}  // namespace clipweave::py
