// Borrowing a bytes-like object's memory: what the extension modules that
// crunch raw samples or pixels share.
#pragma once

#include <cstdint>
#include <exception>

#include "pyref.hpp"

namespace clipweave::py {

// A bytes-like object's memory, held while the view lives; TypeError for
// anything else (str included).
class BufferView {
public:
    BufferView(Handle o, const char* what) {
        if (PyUnicode_Check(o.ptr()) || PyObject_GetBuffer(o.ptr(), &view_, PyBUF_SIMPLE) < 0) {
            PyErr_Clear();
            raise_format(PyExc_TypeError, "%s must be a bytes-like object, not %.100s", what, Py_TYPE(o.ptr())->tp_name);
        }
        held_ = true;
    }
    // As Object's: a thread ended by interpreter exit is unwound without
    // the GIL, and leaves the view to the dying interpreter.
    ~BufferView() {
        if (held_ && (std::uncaught_exceptions() == 0 || PyGILState_Check())) PyBuffer_Release(&view_);
    }
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;

    const std::uint8_t* data() const { return static_cast<const std::uint8_t*>(view_.buf); }
    size_t size() const { return static_cast<size_t>(view_.len); }

private:
    Py_buffer view_{};
    bool held_ = false;
};

}  // namespace clipweave::py
