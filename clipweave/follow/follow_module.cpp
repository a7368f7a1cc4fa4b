// clipweave.follow._follow: the analysis for Python. Frames arrive as
// bytes-like objects of packed BGR pixels; the searches run without the GIL.
// Bad values are a ValueError, values of the wrong type a TypeError.
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "../common/extension.hpp"
#include "../common/pybuffer.hpp"
#include "follow.hpp"

namespace clipweave::follow {
namespace {

double to_number(py::Handle o, const std::string& what) {
    if (PyBool_Check(o.ptr()) || !(PyFloat_Check(o.ptr()) || PyLong_Check(o.ptr())))
        py::raise_format(PyExc_TypeError, "%s must be a number, not %.100s", what.c_str(), Py_TYPE(o.ptr())->tp_name);
    const double v = PyFloat_AsDouble(o.ptr());
    if (v == -1.0 && PyErr_Occurred()) py::raise_current();
    if (!std::isfinite(v)) throw Refused(what + " must be a finite number");
    return v;
}

Picture picture(const py::BufferView& frame, int width, int height) {
    const Picture p{frame.data(), width, height};
    check_picture(p, frame.size());
    return p;
}

PyObject* analysis_size_entry(PyObject*, PyObject* args) {
    return py::entry([&] {
        int width = 0, height = 0;
        if (!PyArg_ParseTuple(args, "ii:analysis_size", &width, &height)) py::raise_current();
        const Size s = analysis_size(width, height);
        return py::Object::steal(Py_BuildValue("(ii)", s.width, s.height));
    });
}

PyObject* signature_entry(PyObject*, PyObject* args) {
    return py::entry([&] {
        PyObject* frame = nullptr;
        int width = 0, height = 0;
        if (!PyArg_ParseTuple(args, "Oii:signature", &frame, &width, &height)) py::raise_current();
        const py::BufferView view(frame, "frame");
        const Picture p = picture(view, width, height);
        const std::vector<float> sig = py::released([&] { return signature(p); });
        return py::Object::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(sig.data()),
                                                           static_cast<Py_ssize_t>(sig.size() * sizeof(float))));
    });
}

PyObject* detect_entry(PyObject*, PyObject* args) {
    return py::entry([&] {
        PyObject* frame = nullptr;
        int width = 0, height = 0;
        const char *dir = nullptr, *model = "";
        if (!PyArg_ParseTuple(args, "Oiis|s:detect", &frame, &width, &height, &dir, &model)) py::raise_current();
        const py::BufferView view(frame, "frame");
        const Picture p = picture(view, width, height);
        const std::string cascades = dir, face_model = model;
        const std::vector<Box> boxes = py::released([&] { return detect(p, cascades, face_model); });
        py::Object out = py::list({});
        for (const Box& b : boxes)
            py::append(out, py::Object::steal(Py_BuildValue("(ddddN)", b.x, b.y, b.w, b.h,
                                                            PyUnicode_FromString(b.face ? "face" : "person"))));
        return out;
    });
}

// A Box from (x, y, w, h, "face" | "person").
Box to_box(py::Handle item, const std::string& what) {
    py::Object parts = py::Object::steal(PySequence_Tuple(item.ptr()));
    if (PyTuple_GET_SIZE(parts.ptr()) != 5) throw Refused(what + " must be (x, y, w, h, kind)");
    Box b{to_number(PyTuple_GET_ITEM(parts.ptr(), 0), what + "[0]"), to_number(PyTuple_GET_ITEM(parts.ptr(), 1), what + "[1]"),
          to_number(PyTuple_GET_ITEM(parts.ptr(), 2), what + "[2]"), to_number(PyTuple_GET_ITEM(parts.ptr(), 3), what + "[3]")};
    const char* kind = PyUnicode_Check(PyTuple_GET_ITEM(parts.ptr(), 4)) ? PyUnicode_AsUTF8(PyTuple_GET_ITEM(parts.ptr(), 4)) : nullptr;
    if (kind == nullptr) {
        PyErr_Clear();
        throw Refused(what + "[4] must be 'face' or 'person'");
    }
    if (std::strcmp(kind, "face") != 0 && std::strcmp(kind, "person") != 0)
        throw Refused(what + "[4] must be 'face' or 'person'");
    b.face = std::strcmp(kind, "face") == 0;
    if (!(b.w > 0 && b.h > 0 && b.x > -1 && b.y > -1 && b.x + b.w < 2 && b.y + b.h < 2))
        throw Refused(what + " must lie in the frame (fractions of it)");
    return b;
}

template <class Each>
void items(py::Handle seq, const std::string& what, Each&& each) {
    if (!PyList_Check(seq.ptr()) && !PyTuple_Check(seq.ptr()))
        py::raise_format(PyExc_TypeError, "%s must be a list or tuple, not %.100s", what.c_str(), Py_TYPE(seq.ptr())->tp_name);
    // A snapshot: reading the items cannot change what is read.
    py::Object snapshot = py::Object::steal(PySequence_Tuple(seq.ptr()));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(snapshot.ptr()); ++i)
        each(py::Handle(PyTuple_GET_ITEM(snapshot.ptr(), i)), what + "[" + std::to_string(i) + "]");
}

// The output frame of an --aspect name, whose shape the window takes.
common::Frame window_named(const char* name) {
    const common::Frame* f = common::frame_named(name);
    if (f == nullptr) throw Refused(std::string("window must be an output frame's shape such as '") +
                                    common::kDefaultFrame.name + "', got '" + std::string(name).substr(0, 40) + "'");
    return *f;
}

const char* kind_name(Kind k) {
    return k == Kind::Still ? "still" : k == Kind::Track ? "track" : k == Kind::Wide ? "wide" : "blur";
}

std::vector<std::vector<float>> signatures_of(py::Handle seq) {
    std::vector<std::vector<float>> out;
    items(seq, "signatures", [&](py::Handle s, const std::string& what) {
        const py::BufferView v(s.ptr(), what.c_str());
        if (v.size() % sizeof(float) != 0) throw Refused(what + " is not a signature");
        std::vector<float>& sig = out.emplace_back(v.size() / sizeof(float));
        if (!sig.empty()) std::memcpy(sig.data(), v.data(), v.size());
    });
    return out;
}

PyObject* cuts_entry(PyObject*, PyObject* args) {
    return py::entry([&] {
        PyObject* sigs = nullptr;
        if (!PyArg_ParseTuple(args, "O:cuts", &sigs)) py::raise_current();
        const std::vector<std::vector<float>> signatures = signatures_of(sigs);
        py::Object out = py::list({});
        for (size_t c : cuts(signatures)) py::append(out, py::integer(static_cast<long long>(c)));
        return out;
    });
}

PyObject* plan_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return py::entry([&] {
        static const char* keywords[] = {"times", "signatures", "sampled", "found", "duration", "aspect", "presence",
                                         "window", nullptr};
        PyObject *times = nullptr, *sigs = nullptr, *sampled = nullptr, *found = nullptr, *duration = nullptr,
                 *aspect = nullptr, *presence = nullptr;
        const char* window = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOOO|s:plan", const_cast<char**>(keywords), &times, &sigs,
                                         &sampled, &found, &duration, &aspect, &presence, &window))
            py::raise_current();
        Frames f;
        if (window != nullptr) f.window = window_named(window);
        items(times, "times", [&](py::Handle t, const std::string& what) { f.times.push_back(to_number(t, what)); });
        f.signatures = signatures_of(sigs);
        items(sampled, "sampled", [&](py::Handle i, const std::string& what) {
            const double v = to_number(i, what);
            if (v != std::floor(v) || v < 0 || v > 1e9) throw Refused(what + " must be a frame index");
            f.sampled.push_back(static_cast<int>(v));
        });
        items(found, "found", [&](py::Handle boxes, const std::string& what) {
            std::vector<Box>& into = f.found.emplace_back();
            items(boxes, what, [&](py::Handle b, const std::string& w) { into.push_back(to_box(b, w)); });
        });
        f.duration = to_number(duration, "duration");
        f.aspect = to_number(aspect, "aspect");
        f.presence = to_number(presence, "presence");
        const std::vector<Shot> shots = plan(f);
        py::Object out = py::list({});
        for (const Shot& s : shots) {
            py::Object path = py::list({});
            for (const Key& k : s.path) py::append(path, py::Object::steal(Py_BuildValue("(dd)", k.t, k.centre)));
            py::append(out, py::dict({{"start", s.start}, {"end", s.end}, {"kind", kind_name(s.kind)},
                                      {"reason", s.reason.c_str()}, {"path", path}, {"width", s.width}}));
        }
        return out;
    });
}

PyObject* window_share_entry(PyObject*, PyObject* args) {
    return py::entry([&] {
        PyObject* aspect = nullptr;
        const char* window = nullptr;
        if (!PyArg_ParseTuple(args, "O|s:window_share", &aspect, &window)) py::raise_current();
        const common::Frame shape = window == nullptr ? common::kDefaultFrame : window_named(window);
        return py::floating(window_share(to_number(aspect, "aspect"), shape.aspect()));
    });
}

// VERSION: the analysis's version, for the cache of its results.
void add_version(py::Handle module) { py::add_constant(module, "VERSION", py::integer(kVersion)); }

py::ExtensionModule module_def{
    "clipweave.follow._follow",
    "Faces, people and shot cuts in a clip's frames, and per shot the path of a window of the output frame's shape.",
    {
        {"analysis_size", analysis_size_entry, METH_VARARGS,
         "analysis_size(width, height, /)\n--\n\nThe (width, height) of the small copy analysed for a "
         "frame shown at width x height."},
        {"signature", signature_entry, METH_VARARGS,
         "signature(frame, width, height, /)\n--\n\nThe colour histogram of a BGR frame, for finding "
         "cuts, as bytes."},
        {"detect", detect_entry, METH_VARARGS,
         "detect(frame, width, height, cascade_dir, face_model='', /)\n--\n\nFaces in a BGR frame, or "
         "people where no face is found: a list of (x, y, w, h, 'face' | 'person') in fractions of the "
         "frame. Faces are searched by the face model at face_model (BlazeFace in ONNX), or where that is "
         "empty by the Haar cascades in cascade_dir."},
        {"plan", py::with_keywords(plan_entry), METH_VARARGS | METH_KEYWORDS,
         "plan(times, signatures, sampled, found, duration, aspect, presence, window='9:16')\n--\n\n"
         "The shots of a range, a list of {'start', 'end', 'kind': 'still' | 'track' | 'wide' | 'blur', "
         "'reason', 'path': [(t, centre), ...], 'width'}: seconds from the range's start; the window's "
         "centre (a window of the output frame's shape, its --aspect name) as a fraction of the frame along "
         "the axis it moves on; a wide window's share of the frame along that axis (0 for the others)."},
        {"cuts", cuts_entry, METH_VARARGS,
         "cuts(signatures, /)\n--\n\nThe indices of the frames that begin a new shot among consecutive "
         "frames' signatures, ascending (the first frame is not one)."},
        {"window_share", window_share_entry, METH_VARARGS,
         "window_share(aspect, window='9:16', /)\n--\n\nThe share along its free axis of a window of "
         "the output frame's shape (its --aspect name) in a frame of this shape, a float."},
    },
    py::exec_step<add_version>};

}  // namespace
}  // namespace clipweave::follow

PyMODINIT_FUNC PyInit__follow(void) { return clipweave::follow::module_def.init(); }
