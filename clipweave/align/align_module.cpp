// clipweave.align._align: the aligner for Python. Reads the two recordings
// (any bytes-like object of 16-bit little-endian mono samples) and the
// reference's word spans, aligns without the GIL, returns the spans as a
// list of (start, end) tuples. Bad values are a ValueError, values of the
// wrong type a TypeError.
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "../common/extension.hpp"
#include "../common/pybuffer.hpp"
#include "align.hpp"

namespace clipweave::align {
namespace {

// The samples of a bytes-like object, copied: a view need not be aligned for int16_t.
std::vector<int16_t> samples(py::Handle o, const char* what) {
    const py::BufferView view(o, what);
    if (view.size() % 2 != 0)
        py::raise_format(PyExc_ValueError, "%s must hold whole 16-bit samples (an even number of bytes)", what);
    std::vector<int16_t> out(view.size() / 2);
    if (!out.empty()) std::memcpy(out.data(), view.data(), view.size());
    return out;
}

double to_seconds(py::Handle o, const std::string& what) {
    if (PyBool_Check(o.ptr()) || !(PyFloat_Check(o.ptr()) || PyLong_Check(o.ptr())))
        py::raise_format(PyExc_TypeError, "%s must be a number, not %.100s", what.c_str(), Py_TYPE(o.ptr())->tp_name);
    const double v = PyFloat_AsDouble(o.ptr());
    if (v == -1.0 && PyErr_Occurred()) py::raise_current();
    return v;
}

std::vector<Span> to_spans(py::Handle words) {
    if (!PyList_Check(words.ptr()) && !PyTuple_Check(words.ptr()))
        py::raise_format(PyExc_TypeError, "reference_bounds must be a list of (start, end), not %.100s",
                         Py_TYPE(words.ptr())->tp_name);
    std::vector<Span> out;
    // A snapshot: reading the items cannot change what is read.
    const py::Object items = py::Object::steal(PySequence_Tuple(words.ptr()));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.ptr()); ++i) {
        const py::Handle item = PyTuple_GET_ITEM(items.ptr(), i);
        const std::string what = "reference_bounds[" + std::to_string(i) + "]";
        if (!PyTuple_Check(item.ptr()) && !PyList_Check(item.ptr()))
            py::raise_format(PyExc_TypeError, "%s must be a (start, end) pair, not %.100s", what.c_str(),
                             Py_TYPE(item.ptr())->tp_name);
        const py::Object pair = py::Object::steal(PySequence_Tuple(item.ptr()));
        if (PyTuple_GET_SIZE(pair.ptr()) != 2)
            py::raise_format(PyExc_ValueError, "%s must be a (start, end) pair", what.c_str());
        out.push_back({to_seconds(PyTuple_GET_ITEM(pair.ptr(), 0), what + "[0]"),
                       to_seconds(PyTuple_GET_ITEM(pair.ptr(), 1), what + "[1]")});
    }
    return out;
}

PyObject* align_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return py::entry([&] {
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
        const std::vector<Span> spans = py::released(
            [&] { return align({ref.data(), ref.size(), ref_rate}, words, {tgt.data(), tgt.size(), tgt_rate}); });
        py::Object result = py::list({});
        for (const Span& s : spans) py::append(result, py::Object::steal(Py_BuildValue("(dd)", s.start, s.end)));
        return result;
    });
}

py::ExtensionModule module_def{
    "clipweave.align._align",
    "Word times carried from one recording of a text onto another, in C++.",
    {
        {"align", py::with_keywords(align_entry), METH_VARARGS | METH_KEYWORDS,
         "align(reference_pcm, reference_rate, reference_bounds, target_pcm, target_rate)\n--\n\n"
         "The reference's word spans (seconds) carried onto the target recording of the same text: a "
         "list of one (start, end) per word, starts non-decreasing, within the target. Both recordings "
         "are 16-bit little-endian mono samples at their own rate."},
    }};

}  // namespace
}  // namespace clipweave::align

PyMODINIT_FUNC PyInit__align(void) { return clipweave::align::module_def.init(); }
