// Borrowing a bytes-like object's memory, and running C++ work without the
// GIL: what the extension modules that crunch raw samples or pixels share.
#pragma once

#include <cstdint>

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
    ~BufferView() {
        if (held_) PyBuffer_Release(&view_);
    }
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;

    const std::uint8_t* data() const { return static_cast<const std::uint8_t*>(view_.buf); }
    size_t size() const { return static_cast<size_t>(view_.len); }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// The GIL released for the life of the object, taken back however it ends.
class WithoutGil {
public:
    WithoutGil() : state_(PyEval_SaveThread()) {}
    ~WithoutGil() { PyEval_RestoreThread(state_); }
    WithoutGil(const WithoutGil&) = delete;
    WithoutGil& operator=(const WithoutGil&) = delete;

private:
    PyThreadState* state_;
};

}  // namespace clipweave::py
