// The host's with-statement for C++ code: enter, run, and always exit; an
// exception from the block goes to __exit__, which may suppress it, and an
// exception from __exit__ replaces it with the original as its context.
#pragma once

#include "common/pycompat.hpp"
#include "runtime.hpp"

namespace clipweave::py {

template <class Block>
void with(Handle manager, Block&& block) {
    // Special methods come from the type, as the statement takes them.
    Handle type_of(reinterpret_cast<PyObject*>(Py_TYPE(manager.ptr())));
    const Names& n = names();
    Object enter = type_of.attr(n.__enter__);
    Object exit = type_of.attr(n.__exit__);
    Object value = enter({manager});
    try {
        block(Handle(value));
    } catch (const PyErrOccurred&) {
        Object exc = fetch_raised();
        Handle exc_type(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())));
        Object tb = Object::adopt(PyException_GetTraceback(exc.ptr()));
        bool suppress = false;
        try {
            suppress = exit({manager, exc_type, exc, tb ? Handle(tb) : none()}).truthy();
        } catch (const PyErrOccurred&) {
            chain_raised(std::move(exc));
            throw;
        }
        if (suppress) return;
        restore_raised(std::move(exc));
        throw;
    }
    exit({manager, none(), none(), none()});
}

}  // namespace clipweave::py
