// clipweave.align._align: the aligner for Python. Reads the two recordings
// (any bytes-like object of 16-bit little-endian mono samples) and the
// reference's word spans, aligns without the GIL, returns the spans as a
// list of (start, end) tuples. Bad values are a ValueError, values of the
// wrong type a TypeError.
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "../common/pybuffer.hpp"
#include "align.hpp"

namespace clipweave::align {
namespace {

// The samples of a bytes-like object, copied: a view need not be aligned for int16_t.
std::vector<int16_t> samples(py::Handle o, const char* what) {
    const py::BufferView view(o, what);
    if (view.size() % 2 != 0) {
        PyErr_Format(PyExc_ValueError, "%s must hold whole 16-bit samples (an even number of bytes)", what);
        py::raise_current();
    }
    std::vector<int16_t> out(view.size() / 2);
    if (!out.empty()) std::memcpy(out.data(), view.data(), view.size());
    return out;
}

double to_seconds(py::Handle o, const std::string& what) {
    if (PyBool_Check(o.ptr()) || !(PyFloat_Check(o.ptr()) || PyLong_Check(o.ptr()))) {
        PyErr_Format(PyExc_TypeError, "%s must be a number, not %.100s", what.c_str(), Py_TYPE(o.ptr())->tp_name);
        py::raise_current();
    }
    const double v = PyFloat_AsDouble(o.ptr());
    if (v == -1.0 && PyErr_Occurred()) py::raise_current();
    return v;
}

std::vector<Span> to_spans(py::Handle words) {
    if (!PyList_Check(words.ptr()) && !PyTuple_Check(words.ptr())) {
        PyErr_Format(PyExc_TypeError, "reference_bounds must be a list of (start, end), not %.100s",
                     Py_TYPE(words.ptr())->tp_name);
        py::raise_current();
    }
    std::vector<Span> out;
    // A snapshot: reading the items cannot change what is read.
    const py::Object items = py::Object::steal(PySequence_Tuple(words.ptr()));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.ptr()); ++i) {
        const py::Handle item = PyTuple_GET_ITEM(items.ptr(), i);
        const std::string what = "reference_bounds[" + std::to_string(i) + "]";
        if (!PyTuple_Check(item.ptr()) && !PyList_Check(item.ptr())) {
            PyErr_Format(PyExc_TypeError, "%s must be a (start, end) pair, not %.100s", what.c_str(),
                         Py_TYPE(item.ptr())->tp_name);
            py::raise_current();
        }
        const py::Object pair = py::Object::steal(PySequence_Tuple(item.ptr()));
        if (PyTuple_GET_SIZE(pair.ptr()) != 2) {
            PyErr_Format(PyExc_ValueError, "%s must be a (start, end) pair", what.c_str());
            py::raise_current();
        }
        out.push_back({to_seconds(PyTuple_GET_ITEM(pair.ptr(), 0), what + "[0]"),
                       to_seconds(PyTuple_GET_ITEM(pair.ptr(), 1), what + "[1]")});
    }
    return out;
}

PyObject* align_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    py::Object result;
    const bool ok = py::at_c_boundary([&] {
        static const char* keywords[] = {"reference_pcm", "reference_rate", "reference_bounds", "target_pcm",
                                         "target_rate", nullptr};
        PyObject *ref_pcm = nullptr, *bounds = nullptr, *tgt_pcm = nullptr;
        int ref_rate = 0, tgt_rate = 0;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OiOOi:align", const_cast<char**>(keywords), &ref_pcm,
                                         &ref_rate, &bounds, &tgt_pcm, &tgt_rate))
            py::raise_current();
        const std::vector<Span> words = to_spans(bounds);
        const std::vector<int16_t> ref = samples(ref_pcm, "reference_pcm");
        const std::vector<int16_t> tgt = samples(tgt_pcm, "target_pcm");
        std::vector<Span> spans;
        std::string refusal;
        {
            py::WithoutGil released;
            try {
                spans = align({ref.data(), ref.size(), ref_rate}, words, {tgt.data(), tgt.size(), tgt_rate});
            } catch (const AlignRefused& e) {
                refusal = e.what();
            }
        }
        if (!refusal.empty()) py::raise(PyExc_ValueError, refusal.c_str());
        result = py::Object::steal(PyList_New(static_cast<Py_ssize_t>(spans.size())));
        for (size_t i = 0; i < spans.size(); ++i) {
            PyObject* pair = Py_BuildValue("(dd)", spans[i].start, spans[i].end);
            if (pair == nullptr) py::raise_current();
            PyList_SET_ITEM(result.ptr(), static_cast<Py_ssize_t>(i), pair);
        }
    });
    return ok ? result.release() : nullptr;
}

PyMethodDef methods[] = {
    {"align", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(align_entry)), METH_VARARGS | METH_KEYWORDS,
     "align(reference_pcm, reference_rate, reference_bounds, target_pcm, target_rate) -> list\n--\n\n"
     "The reference's word spans (seconds) carried onto the target recording of the same text: one "
     "(start, end) per word, starts non-decreasing, within the target. Both recordings are 16-bit "
     "little-endian mono samples at their own rate."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
#ifdef Py_mod_multiple_interpreters
    // Stateless: nothing is shared between interpreters.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
    {0, nullptr},
};

constexpr const char kDoc[] = "Word times carried from one recording of a text onto another, in C++.";
PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "clipweave.align._align", kDoc, 0, methods, slots,
                          nullptr, nullptr, nullptr};

}  // namespace
}  // namespace clipweave::align

PyMODINIT_FUNC PyInit__align(void) { return PyModuleDef_Init(&clipweave::align::module_def); }
