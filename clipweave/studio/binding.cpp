// clipweave.studio._core: the studio core for Python. Converts Python
// values to the core's structs and back; the core refuses with Refused,
// which becomes a ValueError here, and a value of the wrong type is a
// TypeError. No Python code runs while a value is converted (only exact
// containers and numbers are read), so borrowed items stay valid.
#include <cmath>
#include <string>
#include <vector>

#include "../common/pyref.hpp"
#include "core.hpp"

namespace clipweave::studio {
namespace {

// --- Python to C++ --------------------------------------------------------------

const char* type_name(py::Handle o) { return Py_TYPE(o.ptr())->tp_name; }

[[noreturn]] void wrong_type(const std::string& what, const char* expected, py::Handle got) {
    PyErr_Format(PyExc_TypeError, "%s must be %s, not %.100s", what.c_str(), expected, type_name(got));
    py::raise_current();
}

double to_double(py::Handle o, const std::string& what) {
    if (PyBool_Check(o.ptr()) || !(PyFloat_Check(o.ptr()) || PyLong_Check(o.ptr())))
        wrong_type(what, "a number", o);
    const double v = PyFloat_Check(o.ptr()) ? PyFloat_AS_DOUBLE(o.ptr()) : PyLong_AsDouble(o.ptr());
    if (v == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        throw Refused(what + " is too large");
    }
    return v;
}

long long to_integer(py::Handle o, const std::string& what) {
    if (PyBool_Check(o.ptr()) || !PyLong_Check(o.ptr())) wrong_type(what, "an integer", o);
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(o.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) py::raise_current();
    if (overflow != 0) throw Refused(what + " is too large");
    return v;
}

int to_int(py::Handle o, const std::string& what) {
    const long long v = to_integer(o, what);
    if (v < -1000000000LL || v > 1000000000LL) throw Refused(what + " is out of range");
    return static_cast<int>(v);
}

bool to_bool(py::Handle o, const std::string& what) {
    if (!PyBool_Check(o.ptr())) wrong_type(what, "True or False", o);
    return o.ptr() == Py_True;
}

std::string to_text(py::Handle o, const std::string& what) {
    if (!PyUnicode_Check(o.ptr())) wrong_type(what, "a str", o);
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(o.ptr(), &size);
    if (utf8 == nullptr) {
        // Lone surrogates: no file or caption can hold them.
        PyErr_Clear();
        throw Refused(what + " is not valid Unicode text");
    }
    return std::string(utf8, static_cast<size_t>(size));
}

// Calls each(item, index) for the items of an exact list or tuple.
template <class Each>
void for_items(py::Handle seq, const std::string& what, Each&& each) {
    if (!PyList_CheckExact(seq.ptr()) && !PyTuple_CheckExact(seq.ptr())) wrong_type(what, "a list", seq);
    const Py_ssize_t n = py::length(seq);
    for (Py_ssize_t i = 0; i < n; ++i) {
        py::Object item = py::Object::borrow(PyList_CheckExact(seq.ptr()) ? PyList_GET_ITEM(seq.ptr(), i)
                                                                        : PyTuple_GET_ITEM(seq.ptr(), i));
        each(py::Handle(item), what + "[" + std::to_string(i) + "]");
    }
}

Rational to_rational(py::Handle o, const std::string& what) {
    std::vector<long long> parts;
    for_items(o, what, [&](py::Handle item, const std::string& name) { parts.push_back(to_integer(item, name)); });
    if (parts.size() != 2) throw Refused(what + " must be a (numerator, denominator) pair");
    return {parts[0], parts[1]};
}

template <class Enum>
struct Choice {
    const char* name;
    Enum value;
};

template <class Enum, size_t N>
Enum to_choice(py::Handle o, const std::string& what, const Choice<Enum> (&choices)[N]) {
    const std::string text = to_text(o, what);
    std::string names;
    for (const Choice<Enum>& c : choices) {
        if (text == c.name) return c.value;
        names += names.empty() ? "" : ", ";
        names += std::string("'") + c.name + "'";
    }
    throw Refused(what + " must be one of " + names + ", got '" + text.substr(0, 40) + "'");
}

constexpr Choice<Fit> kFits[] = {{"narration", Fit::Narration}, {"range", Fit::Range}};
constexpr Choice<Framing> kFramings[] = {{"blur", Framing::Blur}, {"crop", Framing::Crop}, {"fit", Framing::Fit}};
constexpr Choice<CaptionMode> kCaptionModes[] = {
    {"burn", CaptionMode::Burn}, {"srt", CaptionMode::Srt}, {"none", CaptionMode::None}};
constexpr Choice<Quality> kQualities[] = {
    {"fast", Quality::Fast}, {"balanced", Quality::Balanced}, {"small", Quality::Small}};

// The keys a job may hold; anything else is a mistake worth naming.
constexpr const char* kJobKeys[] = {
    "source", "source_seconds", "width", "height", "rotation", "sar", "rate", "has_audio",
    "segments", "narrations", "narration_seconds", "narration_lufs", "texts", "fit",
    "frame", "captions", "quality", "bed_volume", "speed", "atempo", "encoder",
    "captions_file", "graph_file", "output"};

// A job dict: its values by key, unknown keys refused.
class JobDict {
public:
    explicit JobDict(py::Handle job) : job_(job) {
        if (!PyDict_CheckExact(job.ptr())) wrong_type("the job", "a dict", job);
        Py_ssize_t pos = 0;
        PyObject* key;
        PyObject* value;
        while (PyDict_Next(job.ptr(), &pos, &key, &value)) {
            if (!PyUnicode_Check(key)) wrong_type("a job key", "a str", key);
            const char* name = PyUnicode_AsUTF8(key);
            if (name == nullptr) py::raise_current();
            bool known = false;
            for (const char* k : kJobKeys) known = known || std::string(k) == name;
            if (!known) {
                PyErr_Format(PyExc_TypeError, "unknown job key %R", key);
                py::raise_current();
            }
        }
    }

    // The value of key, or empty when the job has none.
    py::Object find(const char* key) const {
        py::Object name = py::str(key);
        PyObject* v = PyDict_GetItemWithError(job_.ptr(), name.ptr());
        if (v == nullptr && PyErr_Occurred()) py::raise_current();
        return py::Object::borrow(v);
    }

    py::Object need(const char* key) const {
        py::Object v = find(key);
        if (!v) {
            PyErr_Format(PyExc_TypeError, "the job has no '%s'", key);
            py::raise_current();
        }
        return v;
    }

    static std::string name(const char* key) { return std::string("job['") + key + "']"; }

    double number(const char* key) const { return to_double(need(key), name(key)); }
    std::string text(const char* key) const { return to_text(need(key), name(key)); }

    std::vector<double> numbers(const char* key) const {
        std::vector<double> out;
        for_items(need(key), name(key), [&](py::Handle item, const std::string& what) {
            out.push_back(to_double(item, what));
        });
        return out;
    }

    std::vector<std::string> texts(const char* key) const {
        std::vector<std::string> out;
        for_items(need(key), name(key), [&](py::Handle item, const std::string& what) {
            out.push_back(to_text(item, what));
        });
        return out;
    }

    template <class Enum, size_t N>
    Enum choice(const char* key, const Choice<Enum> (&choices)[N], Enum fallback) const {
        py::Object v = find(key);
        return v ? to_choice(v, name(key), choices) : fallback;
    }

private:
    py::Handle job_;
};

std::vector<Segment> to_segments(const JobDict& job) {
    std::vector<Segment> out;
    for_items(job.need("segments"), JobDict::name("segments"), [&](py::Handle item, const std::string& what) {
        std::vector<double> pair;
        for_items(item, what, [&](py::Handle v, const std::string& part) { pair.push_back(to_double(v, part)); });
        if (pair.size() != 2) throw Refused(what + " must be a (start, end) pair");
        out.push_back({pair[0], pair[1]});
    });
    return out;
}

PlanInput to_plan_input(const JobDict& job) {
    PlanInput in;
    in.segments = to_segments(job);
    in.narration_seconds = job.numbers("narration_seconds");
    in.source_seconds = job.number("source_seconds");
    in.fit = job.choice("fit", kFits, Fit::Narration);
    if (py::Object speed = job.find("speed")) in.speed = to_double(speed, JobDict::name("speed"));
    if (py::Object rate = job.find("rate")) in.source_rate = to_rational(rate, JobDict::name("rate"));
    return in;
}

Job to_job(const JobDict& job) {
    Job j;
    const PlanInput in = to_plan_input(job);
    j.segments = in.segments;
    j.narration_seconds = in.narration_seconds;
    j.fit = in.fit;
    j.speed = in.speed;
    j.source.seconds = in.source_seconds;
    j.source.rate = in.source_rate;
    j.source.path = job.text("source");
    j.source.width = to_int(job.need("width"), JobDict::name("width"));
    j.source.height = to_int(job.need("height"), JobDict::name("height"));
    if (py::Object v = job.find("rotation")) j.source.rotation = to_int(v, JobDict::name("rotation"));
    if (py::Object v = job.find("sar")) j.source.sar = to_rational(v, JobDict::name("sar"));
    j.source.has_audio = to_bool(job.need("has_audio"), JobDict::name("has_audio"));
    j.narrations = job.texts("narrations");
    if (py::Object v = job.find("narration_lufs")) {
        for_items(v, JobDict::name("narration_lufs"), [&](py::Handle item, const std::string& what) {
            j.narration_lufs.push_back(item.ptr() == Py_None ? std::nan("") : to_double(item, what));
        });
    }
    j.texts = job.texts("texts");
    j.framing = job.choice("frame", kFramings, Framing::Blur);
    j.captions = job.choice("captions", kCaptionModes, CaptionMode::Burn);
    j.quality = job.choice("quality", kQualities, Quality::Balanced);
    py::Object bed = job.need("bed_volume");
    j.has_bed = bed.ptr() != Py_None;
    if (j.has_bed) j.bed_volume_db = to_double(bed, JobDict::name("bed_volume"));
    j.atempo = job.text("atempo");
    if (py::Object v = job.find("encoder")) j.encoder = to_text(v, JobDict::name("encoder"));
    if (j.captions == CaptionMode::Burn) j.captions_file = job.text("captions_file");
    if (py::Object v = job.find("graph_file")) j.graph_file = to_text(v, JobDict::name("graph_file"));
    j.output = job.text("output");
    return j;
}

// --- C++ to Python --------------------------------------------------------------

py::Object text(const std::string& s) { return py::str(s); }

py::Object list_of(const std::vector<std::string>& items) {
    py::Object out = py::list({});
    for (const std::string& s : items) py::append(out, text(s));
    return out;
}

py::Object clip_dict(const ClipPlan& c) {
    py::Object note = c.note.empty() ? py::Object::borrow(py::none()) : text(c.note);
    // Grouped as the plan computes them: where the clip comes from, its
    // narration, and where it lands in the output.
    return py::dict({{"source_start", c.source_start}, {"range", c.range}, {"length", c.length},
                     {"source_part", c.source_part}, {"hold", c.hold},
                     {"narration", c.narration}, {"narration_used", c.narration_used},
                     {"start_at", c.start_at}, {"out_start", c.out_start},
                     {"out_length", c.out_length}, {"first_frame", c.first_frame},
                     {"frames", c.frames}, {"samples", c.samples}, {"note", note}});
}

py::Object plan_dict(const Plan& plan) {
    py::Object clips = py::list({});
    py::Object notes = py::list({});
    for (const ClipPlan& c : plan.clips) {
        py::append(clips, clip_dict(c));
        if (!c.note.empty()) py::append(notes, text(c.note));
    }
    py::Object rate = py::Object::steal(Py_BuildValue("(LL)", plan.rate.num, plan.rate.den));
    return py::dict({{"clips", clips},
                     {"notes", notes},
                     {"rate", rate},
                     {"speed", plan.speed},
                     {"length", plan.length},
                     {"frames", plan.frames},
                     {"duration", plan.duration}});
}

py::Object cue_list(const std::vector<Cue>& cues) {
    py::Object out = py::list({});
    for (const Cue& c : cues) {
        py::Object t = text(c.text);
        py::Object cue = py::Object::steal(Py_BuildValue("(ddO)", c.start, c.end, t.ptr()));
        py::append(out, cue);
    }
    return out;
}

// --- entry points ------------------------------------------------------------------

template <class Body>
PyObject* entry(Body&& body) noexcept {
    py::Object result;
    const bool ok = py::at_c_boundary([&] {
        try {
            result = body();
        } catch (const Refused& e) {
            py::raise(PyExc_ValueError, e.what());
        }
    });
    return ok ? result.release() : nullptr;
}

PyObject* plan_entry(PyObject*, PyObject* job) {
    return entry([&] { return plan_dict(make_plan(to_plan_input(JobDict(job)))); });
}

PyObject* captions_entry(PyObject*, PyObject* job) {
    return entry([&] {
        const JobDict j(job);
        const Plan plan = make_plan(to_plan_input(j));
        const std::vector<Cue> cues = make_cues(plan, j.texts("texts"), CaptionStyle{});
        return py::dict({{"cues", cue_list(cues)}, {"srt", text(srt_text(cues))}, {"ass", text(ass_text(cues))}});
    });
}

PyObject* prepare_entry(PyObject*, PyObject* job) {
    return entry([&] {
        const Render r = prepare(to_job(JobDict(job)));
        return py::dict({{"plan", plan_dict(r.plan)},
                         {"cues", cue_list(r.cues)},
                         {"srt", text(r.srt)},
                         {"ass", text(r.ass)},
                         {"graph", text(r.graph)},
                         {"graph_in_file", r.graph_in_file},
                         {"args", list_of(r.args)}});
    });
}

PyObject* chunk_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return entry([&] {
        static const char* keywords[] = {"text", "line_chars", "max_lines", nullptr};
        PyObject* text_arg = nullptr;
        int line_chars = 30;
        int max_lines = 2;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "U|ii:chunk_caption", const_cast<char**>(keywords),
                                         &text_arg, &line_chars, &max_lines))
            py::raise_current();
        return list_of(chunk_text(to_text(text_arg, "text"), CaptionStyle{line_chars, max_lines}));
    });
}

PyObject* escape_ass_entry(PyObject*, PyObject* arg) {
    return entry([&] { return text(ass_escape(to_text(arg, "text"))); });
}

PyObject* filter_arg_entry(PyObject*, PyObject* arg) {
    return entry([&] { return text(filter_arg(to_text(arg, "value"))); });
}

PyObject* encode_args_entry(PyObject*, PyObject* args) {
    return entry([&] {
        PyObject* encoder = nullptr;
        PyObject* quality = nullptr;
        if (!PyArg_ParseTuple(args, "UU:encode_args", &encoder, &quality)) py::raise_current();
        const std::string name = to_text(encoder, "encoder");
        if (name != "libx264" && name != "h264_nvenc")
            throw Refused("encoder must be libx264 or h264_nvenc, got '" + name.substr(0, 40) + "'");
        return list_of(encode_args(name, to_choice(quality, "quality", kQualities)));
    });
}

PyObject* hardware_probe_entry(PyObject*, PyObject*) {
    return entry([&] { return list_of(hardware_probe_args()); });
}

PyMethodDef methods[] = {
    {"plan", plan_entry, METH_O,
     "plan(job) -> dict\n--\n\nThe clips of a job: where each starts, how long it runs, what of its "
     "narration is heard, where it lands in the output, and a note for each adjusted segment."},
    {"captions", captions_entry, METH_O,
     "captions(job) -> dict\n--\n\nThe timed caption cues of a job and their SRT and ASS texts."},
    {"prepare", prepare_entry, METH_O,
     "prepare(job) -> dict\n--\n\nEverything the one ffmpeg run needs: plan, captions, filter graph "
     "and argument vector."},
    {"chunk_caption", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(chunk_entry)),
     METH_VARARGS | METH_KEYWORDS,
     "chunk_caption(text, line_chars=30, max_lines=2) -> list\n--\n\nA narration's caption chunks, "
     "lines joined by a line feed."},
    {"escape_ass", escape_ass_entry, METH_O,
     "escape_ass(text) -> str\n--\n\nText as an ASS event shows it literally."},
    {"filter_arg", filter_arg_entry, METH_O,
     "filter_arg(value) -> str\n--\n\nA value escaped for a filter option inside a filter graph."},
    {"encode_args", encode_args_entry, METH_VARARGS,
     "encode_args(encoder, quality) -> list\n--\n\nThe encoder and container options of the output."},
    {"hardware_probe_args", hardware_probe_entry, METH_NOARGS,
     "hardware_probe_args() -> list\n--\n\nA tiny encode that succeeds only where the hardware "
     "encoder works."},
    {nullptr, nullptr, 0, nullptr},
};

// The limits the core enforces, for callers that check before they call.
int add_limits(PyObject* module) noexcept {
    return py::at_c_boundary([&] {
        const struct {
            const char* name;
            double value;
        } limits[] = {{"MIN_SPEED", kMinSpeed},
                      {"MAX_SPEED", kMaxSpeed},
                      {"MIN_BED_VOLUME", kMinBedVolume},
                      {"MAX_BED_VOLUME", kMaxBedVolume}};
        for (const auto& limit : limits) {
            py::Object value = py::Object::steal(PyFloat_FromDouble(limit.value));
            if (!value) py::raise_current();
            py::require(PyModule_AddObjectRef(module, limit.name, value.ptr()));
        }
    }) ? 0 : -1;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(add_limits)},
#ifdef Py_mod_multiple_interpreters
    // Stateless: nothing is shared between interpreters.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
    {0, nullptr},
};

constexpr const char kDoc[] = "The studio render's planning, captions and ffmpeg command, in C++.";
// No per-module state: nothing to traverse, clear or free.
PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "clipweave.studio._core", kDoc, 0, methods, slots,
                          nullptr, nullptr, nullptr};

}  // namespace
}  // namespace clipweave::studio

PyMODINIT_FUNC PyInit__core(void) { return PyModuleDef_Init(&clipweave::studio::module_def); }
