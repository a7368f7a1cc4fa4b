// clipweave.studio._core: the studio core for Python. Converts a job
// (clipweave.studio.job) to the core's structs and the results back; the
// core refuses with Refused, which becomes a ValueError here, and a value
// of the wrong type is a TypeError. Only exact containers, numbers and
// text are read as values; the lists are read from snapshots, so the items
// stay valid whatever an attribute read runs.
#include <cmath>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "../common/extension.hpp"
#include "core.hpp"

namespace clipweave::studio {
namespace {

// --- Python to C++ --------------------------------------------------------------

const char* type_name(py::Handle o) { return Py_TYPE(o.ptr())->tp_name; }

[[noreturn]] void wrong_type(const std::string& what, const char* expected, py::Handle got) {
    py::raise_format(PyExc_TypeError, "%s must be %s, not %.100s", what.c_str(), expected, type_name(got));
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

// Calls each(item, index) for the items of an exact list or tuple. A list
// is read from a snapshot: reading a segment's attributes may run code
// that changes it.
template <class Each>
void for_items(py::Handle seq, const std::string& what, Each&& each) {
    if (!PyList_CheckExact(seq.ptr()) && !PyTuple_CheckExact(seq.ptr())) wrong_type(what, "a list", seq);
    const py::Object items =
        PyList_CheckExact(seq.ptr()) ? py::Object::steal(PyList_AsTuple(seq.ptr())) : py::Object::borrow(seq);
    const Py_ssize_t n = PyTuple_GET_SIZE(items.ptr());
    for (Py_ssize_t i = 0; i < n; ++i)
        each(py::Handle(PyTuple_GET_ITEM(items.ptr(), i)), what + "[" + std::to_string(i) + "]");
}

// The items of an exact list or tuple that must have count of them (as
// shape says), each converted as it is read.
std::vector<double> numbers_of(py::Handle seq, const std::string& what, size_t count, const char* shape) {
    std::vector<double> out;
    for_items(seq, what, [&](py::Handle v, const std::string& part) { out.push_back(to_double(v, part)); });
    if (out.size() != count) throw Refused(what + " must be " + shape);
    return out;
}

// ... or left as they are, for items of different kinds.
std::vector<py::Object> parts_of(py::Handle seq, const std::string& what, size_t count, const char* shape) {
    std::vector<py::Object> out;
    for_items(seq, what, [&](py::Handle part, const std::string&) { out.push_back(py::Object::borrow(part)); });
    if (out.size() != count) throw Refused(what + " must be " + shape);
    return out;
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
    bool listed = true;  // false: an old name still accepted, not offered
};

template <class Enum, size_t N>
Enum to_choice(py::Handle o, const std::string& what, const Choice<Enum> (&choices)[N]) {
    const std::string text = to_text(o, what);
    std::string names;
    for (const Choice<Enum>& c : choices) {
        if (text == c.name) return c.value;
        if (!c.listed) continue;
        names += names.empty() ? "" : ", ";
        names += std::string("'") + c.name + "'";
    }
    throw Refused(what + " must be one of " + names + ", got '" + text.substr(0, 40) + "'");
}

constexpr Choice<Fit> kFits[] = {{"narration", Fit::Narration}, {"range", Fit::Range}};
constexpr Choice<Framing> kFramings[] = {{"blur", Framing::Blur}, {"crop", Framing::Crop}, {"fit", Framing::Fit}};
constexpr Choice<CaptionMode> kCaptionModes[] = {{"words", CaptionMode::Words},
                                                 {"phrases", CaptionMode::Phrases},
                                                 {"srt", CaptionMode::Srt},
                                                 {"none", CaptionMode::None},
                                                 {"burn", CaptionMode::Phrases, false}};
constexpr Choice<Quality> kQualities[] = {
    {"fast", Quality::Fast}, {"balanced", Quality::Balanced}, {"small", Quality::Small}};
constexpr Choice<Look> kLooks[] = {{"bold", Look::Bold},
                                   {"boxed", Look::Boxed},
                                   {"karaoke", Look::Karaoke},
                                   {"pop", Look::Pop},
                                   {"minimal", Look::Minimal}};
constexpr Choice<Placement> kPlacements[] = {
    {"lower", Placement::Lower}, {"middle", Placement::Middle}, {"upper", Placement::Upper}};
constexpr Choice<SafeArea> kSafeAreas[] = {{"platforms", SafeArea::Platforms}, {"none", SafeArea::Wide}};

// The output frame of its name (common::kFrames).
Frame to_frame(py::Handle o, const std::string& what) {
    const std::string text = to_text(o, what);
    if (const Frame* f = common::frame_named(text)) return *f;
    std::string names;
    for (const Frame& f : common::kFrames) names += (names.empty() ? "'" : ", '") + std::string(f.name) + "'";
    throw Refused(what + " must be one of " + names + ", got '" + text.substr(0, 40) + "'");
}

// A preview's frame: the output frame's sizes divided by ``scale`` (3 makes
// 1080x1920 360x640), each whole and even; 1 is the frame itself.
constexpr int kMaxScale = 8;
Frame scaled(Frame f, py::Handle o, const std::string& what) {
    const int scale = to_int(o, what);
    if (scale < 1 || scale > kMaxScale) throw Refused(what + " must be from 1 to " + std::to_string(kMaxScale));
    if (f.width % scale != 0 || f.height % scale != 0 || (f.width / scale) % 2 != 0 || (f.height / scale) % 2 != 0)
        throw Refused(what + ": " + std::to_string(f.width) + "x" + std::to_string(f.height) + " divided by " +
                      std::to_string(scale) + " is not whole and even");
    f.width /= scale;
    f.height /= scale;
    return f;
}

// The names of a job's choices, listed first, then the old names each
// stands for; the table of options (clipweave.model.options) is checked
// against them when clipweave.studio is imported.
template <class Enum, size_t N>
void add_choices(py::Handle listed, py::Handle old, const char* option, const Choice<Enum> (&choices)[N]) {
    py::Object names = py::list({});
    py::Object renamed = py::dict({});
    for (const Choice<Enum>& c : choices) {
        if (c.listed) {
            py::append(names, py::str(c.name));
            continue;
        }
        for (const Choice<Enum>& now : choices)
            if (now.listed && now.value == c.value) py::set_item(renamed, {c.name, now.name});
    }
    py::set_item(listed, {option, py::Object::steal(PySequence_Tuple(names.ptr()))});
    py::set_item(old, {option, renamed});
}

// CHOICES, OLD_NAMES, FRAMES ({name: (width, height)}, the default first),
// SAFE_AREA (the shares of a frame that captions keep to by default) and
// SAFE_AREAS (those of each choice of safe_area).
void add_tables(py::Handle module) {
    py::Object listed = py::dict({}), old = py::dict({}), frames = py::dict({});
    add_choices(listed, old, "fit", kFits);
    add_choices(listed, old, "frame", kFramings);
    add_choices(listed, old, "captions", kCaptionModes);
    add_choices(listed, old, "quality", kQualities);
    add_choices(listed, old, "caption_style", kLooks);
    add_choices(listed, old, "caption_position", kPlacements);
    add_choices(listed, old, "safe_area", kSafeAreas);
    py::Object aspects = py::list({});
    for (const Frame& f : common::kFrames) {
        py::append(aspects, py::str(f.name));
        py::set_item(frames, {f.name, py::Object::steal(Py_BuildValue("(ii)", f.width, f.height))});
    }
    py::set_item(listed, {"aspect", py::Object::steal(PySequence_Tuple(aspects.ptr()))});
    auto shares_of = [](const common::Shares& safe) {
        return py::Object::steal(Py_BuildValue("(dddd)", safe.left, safe.top, safe.right, safe.bottom));
    };
    py::Object shares = shares_of(common::kSafeShares), wide = shares_of(common::kWideSafeShares);
    py::Object areas = py::dict({{"platforms", shares}, {"none", wide}});
    for (const py::Item& item : {py::Item{"CHOICES", listed}, py::Item{"OLD_NAMES", old},
                                 py::Item{"FRAMES", frames}, py::Item{"SAFE_AREA", shares},
                                 py::Item{"SAFE_AREAS", areas}})
        py::add_constant(module, item.key, py::Handle(item.value.p));
}

// The attribute names of a job (clipweave.studio.job), interned once per
// module: a module of another interpreter has its own.
#define STUDIO_JOB_NAMES(X)                                                                      \
    X(source) X(segments) X(narration_seconds) X(texts) X(narrations) X(narration_lufs) X(fit) \
    X(frame) X(captions) X(quality) X(bed_volume) X(speed) X(encoder) X(output)               \
    X(captions_file) X(graph_file) X(path) X(seconds) X(width) X(height) X(rotation) X(sar)   \
    X(rate) X(has_audio) X(start) X(end) X(words) X(glyphs) X(video_seconds) X(matrix) \
    X(silent_tails) X(follow) X(aspect) X(narration_sound) X(frames) X(scale) X(caption_style)             \
    X(caption_position) X(safe_area) X(highlight) X(accent) X(title) X(text_font) X(emoji_font) X(music)   \
    X(music_seconds) X(music_lufs) X(music_volume)

struct Names {
#define STUDIO_NAME_MEMBER(name) py::Object name;
    STUDIO_JOB_NAMES(STUDIO_NAME_MEMBER)
#undef STUDIO_NAME_MEMBER
};

// The module's state: zeroed by the interpreter, constructed by exec.
Names& names_of(py::Handle module) { return *static_cast<Names*>(PyModule_GetState(module.ptr())); }

// The fields of one object of a job, read by attribute: a job, its source,
// or a segment.
class Fields {
public:
    Fields(py::Handle object, std::string what, const char* kind)
        : object_(object), what_(std::move(what)), kind_(kind) {}

    py::Object get(py::Handle attr) const {
        PyObject* v = PyObject_GetAttr(object_.ptr(), attr.ptr());
        if (v == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) py::raise_current();
            PyErr_Clear();
            wrong_type(what_, kind_, object_);
        }
        return py::Object::steal(v);
    }

    std::string name(py::Handle attr) const {
        const char* utf8 = PyUnicode_AsUTF8(attr.ptr());
        if (utf8 == nullptr) py::raise_current();
        return what_ + "." + utf8;
    }

    double number(py::Handle attr) const { return to_double(get(attr), name(attr)); }
    std::string text(py::Handle attr) const { return to_text(get(attr), name(attr)); }

    std::vector<double> numbers(py::Handle attr) const {
        std::vector<double> out;
        for_items(get(attr), name(attr), [&](py::Handle item, const std::string& what) {
            out.push_back(to_double(item, what));
        });
        return out;
    }

    std::vector<std::string> texts(py::Handle attr) const {
        std::vector<std::string> out;
        for_items(get(attr), name(attr), [&](py::Handle item, const std::string& what) {
            out.push_back(to_text(item, what));
        });
        return out;
    }

    template <class Enum, size_t N>
    Enum choice(py::Handle attr, const Choice<Enum> (&choices)[N]) const {
        return to_choice(get(attr), name(attr), choices);
    }

private:
    py::Handle object_;
    std::string what_;
    const char* kind_;
};

Fields job_fields(py::Handle job) { return Fields(job, "job", "a StudioJob"); }

// A segment: a (start, end) pair, or anything with start and end in
// seconds (clipweave.model.segments.Segment).
Segment to_segment(const Names& n, py::Handle item, const std::string& what) {
    if (PyList_CheckExact(item.ptr()) || PyTuple_CheckExact(item.ptr())) {
        const std::vector<double> pair = numbers_of(item, what, 2, "a (start, end) pair");
        return {pair[0], pair[1]};
    }
    const Fields segment(item, what, "a (start, end) pair or a Segment");
    return {segment.number(n.start), segment.number(n.end)};
}

PlanInput to_plan_input(const Names& n, const Fields& job) {
    PlanInput in;
    for_items(job.get(n.segments), job.name(n.segments), [&](py::Handle item, const std::string& what) {
        in.segments.push_back(to_segment(n, item, what));
    });
    in.narration_seconds = job.numbers(n.narration_seconds);
    // Per segment, None or where its narration's sound begins and ends.
    for_items(job.get(n.narration_sound), job.name(n.narration_sound), [&](py::Handle item, const std::string& what) {
        Sound& sound = in.narration_sound.emplace_back();
        if (item.ptr() == Py_None) return;
        const std::vector<double> pair = numbers_of(item, what, 2, "None or a (start, end) pair");
        sound.start = pair[0];
        sound.end = pair[1];
    });
    const Fields source(job.get(n.source), job.name(n.source), "a SourceInfo");
    in.source_seconds = source.number(n.seconds);
    in.video_seconds = source.number(n.video_seconds);
    for_items(job.get(n.silent_tails), job.name(n.silent_tails), [&](py::Handle item, const std::string& what) {
        in.silent_tails.push_back(to_bool(item, what));
    });
    in.fit = job.choice(n.fit, kFits);
    in.speed = job.number(n.speed);
    in.source_rate = to_rational(source.get(n.rate), source.name(n.rate));
    return in;
}

// Per segment of the job's attribute attr: None, or a list whose items
// each(item, name) reads; no entries at all where the attribute is empty.
template <class T, class Each>
std::vector<std::vector<T>> per_segment(const Fields& job, py::Handle attr, Each&& each) {
    std::vector<std::vector<T>> out;
    for_items(job.get(attr), job.name(attr), [&](py::Handle entry, const std::string& what) {
        std::vector<T>& segment = out.emplace_back();
        if (entry.ptr() == Py_None) return;
        for_items(entry, what, [&](py::Handle item, const std::string& name) { segment.push_back(each(item, name)); });
    });
    return out;
}

// Per segment, its words' (text, start, end) in seconds of its narration;
// None or an empty list where they are unknown, or no entries at all.
std::vector<std::vector<WordTime>> to_words(const Fields& job, const Names& n) {
    return per_segment<WordTime>(job, n.words, [](py::Handle item, const std::string& word) {
        const std::vector<py::Object> parts = parts_of(item, word, 3, "a (text, start, end) triple");
        return WordTime{to_text(parts[0], word + "[0]"), to_double(parts[1], word + "[1]"),
                        to_double(parts[2], word + "[2]")};
    });
}

// Per segment, None or its shots as (start, "still" | "track" | "wide" |
// "blur", ((t, centre), ...), width); no entries at all: the job's framing
// everywhere.
std::vector<std::vector<FollowShot>> to_follow(const Fields& job, const Names& n) {
    return per_segment<FollowShot>(job, n.follow, [](py::Handle item, const std::string& name) {
        const std::vector<py::Object> parts = parts_of(item, name, 4, "a (start, kind, path, width) tuple");
        FollowShot shot;
        shot.start = to_double(parts[0], name + "[0]");
        const std::string kind = to_text(parts[1], name + "[1]");
        if (kind != "still" && kind != "track" && kind != "wide" && kind != "blur")
            throw Refused(name + "[1] must be 'still', 'track', 'wide' or 'blur', got '" + kind.substr(0, 40) + "'");
        shot.blur = kind == "blur";
        if (kind == "wide") {
            shot.width = to_double(parts[3], name + "[3]");
            if (!(shot.width > 0 && shot.width <= 1))
                throw Refused(name + "[3]: a wide window's share of the frame must be from 0 to 1");
        }
        for_items(parts[2], name + "[2]", [&](py::Handle key, const std::string& at) {
            const std::vector<double> pair = numbers_of(key, at, 2, "a (t, centre) pair");
            shot.path.push_back({pair[0], pair[1]});
        });
        return shot;
    });
}

// How the job's burned captions look, and its title.
CaptionLook to_look(const Names& n, const Fields& job) {
    CaptionLook look;
    look.look = job.choice(n.caption_style, kLooks);
    look.placement = job.choice(n.caption_position, kPlacements);
    look.safe = job.choice(n.safe_area, kSafeAreas);
    look.highlight = parse_colour(job.text(n.highlight), job.name(n.highlight));
    look.accent = parse_colour(job.text(n.accent), job.name(n.accent));
    look.title = job.text(n.title);
    look.text_font = job.text(n.text_font);
    look.emoji_font = job.text(n.emoji_font);
    return look;
}

Job to_job(const Names& n, const Fields& job) {
    Job j;
    const PlanInput in = to_plan_input(n, job);
    j.segments = in.segments;
    j.narration_seconds = in.narration_seconds;
    j.narration_sound = in.narration_sound;
    j.fit = in.fit;
    j.speed = in.speed;
    j.source.seconds = in.source_seconds;
    j.source.video_seconds = in.video_seconds;
    j.silent_tails = in.silent_tails;
    j.source.rate = in.source_rate;
    const Fields source(job.get(n.source), job.name(n.source), "a SourceInfo");
    j.source.path = source.text(n.path);
    j.source.width = to_int(source.get(n.width), source.name(n.width));
    j.source.height = to_int(source.get(n.height), source.name(n.height));
    j.source.rotation = to_int(source.get(n.rotation), source.name(n.rotation));
    j.source.sar = to_rational(source.get(n.sar), source.name(n.sar));
    j.source.has_audio = to_bool(source.get(n.has_audio), source.name(n.has_audio));
    j.source.matrix = source.text(n.matrix);
    j.narrations = job.texts(n.narrations);
    for_items(job.get(n.narration_lufs), job.name(n.narration_lufs), [&](py::Handle item, const std::string& what) {
        j.narration_lufs.push_back(item.ptr() == Py_None ? std::nan("") : to_double(item, what));
    });
    j.texts = job.texts(n.texts);
    j.framing = job.choice(n.frame, kFramings);
    // Per segment, its own framing where the segments file gives one ("": the job's).
    for_items(job.get(n.frames), job.name(n.frames), [&](py::Handle item, const std::string& what) {
        j.framings.push_back(to_text(item, what).empty() ? j.framing : to_choice(item, what, kFramings));
    });
    j.frame = scaled(to_frame(job.get(n.aspect), job.name(n.aspect)), job.get(n.scale), job.name(n.scale));
    j.follow = to_follow(job, n);
    j.captions = job.choice(n.captions, kCaptionModes);
    j.look = to_look(n, job);
    py::Object music = job.get(n.music);
    if (music.ptr() != Py_None) {
        j.music.path = to_text(music, job.name(n.music));
        j.music.seconds = job.number(n.music_seconds);
        py::Object lufs = job.get(n.music_lufs);
        j.music.lufs = lufs.ptr() == Py_None ? std::nan("") : to_double(lufs, job.name(n.music_lufs));
        j.music.volume_db = job.number(n.music_volume);
    }
    j.words = to_words(job, n);
    j.coverage = parse_coverage(job.text(n.glyphs));
    j.quality = job.choice(n.quality, kQualities);
    py::Object bed = job.get(n.bed_volume);
    j.has_bed = bed.ptr() != Py_None;
    if (j.has_bed) j.bed_volume_db = to_double(bed, job.name(n.bed_volume));
    j.encoder = job.text(n.encoder);
    j.captions_file = job.text(n.captions_file);
    j.graph_file = job.text(n.graph_file);
    j.output = job.text(n.output);
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
                     {"source_part", c.source_part}, {"hold", c.hold}, {"pace", c.pace},
                     {"after", c.after}, {"before", c.before},
                     {"narration", c.narration}, {"narration_skip", c.narration_skip},
                     {"narration_used", c.narration_used},
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

py::Object word_list(const std::vector<ShownWord>& words) {
    py::Object out = py::list({});
    for (const ShownWord& w : words) {
        py::Object t = text(w.text);
        py::append(out, py::Object::steal(Py_BuildValue("(Oddi)", t.ptr(), w.start, w.end, w.segment)));
    }
    return out;
}

py::Object step_dict(const Step& step) {
    return py::dict({{"args", list_of(step.args)}, {"graph", text(step.graph)},
                     {"frames", step.frames}, {"duration", step.duration}});
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

PyObject* plan_entry(PyObject* module, PyObject* job) {
    return py::entry([&] { return plan_dict(make_plan(to_plan_input(names_of(module), job_fields(job)))); });
}

PyObject* captions_entry(PyObject* module, PyObject* job) {
    return py::entry([&] {
        const Names& n = names_of(module);
        const Fields j = job_fields(job);
        const Plan plan = make_plan(to_plan_input(n, j));
        const Captions c = make_captions(plan, j.texts(n.texts), heard_times(plan, to_words(j, n)),
                                         j.choice(n.captions, kCaptionModes), parse_coverage(j.text(n.glyphs)),
                                         scaled(to_frame(j.get(n.aspect), j.name(n.aspect)), j.get(n.scale),
                                                j.name(n.scale)), to_look(n, j));
        std::vector<std::string> notes;
        for (const Note& note : c.notes) notes.push_back(note.text);
        py::Object emoji = py::list({});
        for (const EmojiShown& e : c.emoji) {
            const Picture& p = c.pictures[e.picture];
            py::append(emoji, py::Object::steal(Py_BuildValue("(iiiidd)", e.x, e.y, p.width, p.height, e.start, e.end)));
        }
        return py::dict({{"cues", cue_list(c.cues)}, {"words", word_list(c.words)}, {"notes", list_of(notes)},
                         {"srt", text(c.srt)}, {"ass", text(c.ass)}, {"emoji", emoji}});
    });
}

PyObject* prepare_entry(PyObject* module, PyObject* job) {
    return py::entry([&] {
        const Render r = prepare(to_job(names_of(module), job_fields(job)));
        py::Object groups = py::list({});
        for (const Step& step : r.groups) py::append(groups, step_dict(step));
        py::Object sounds = py::list({});
        for (const Step& step : r.sounds) py::append(sounds, step_dict(step));
        py::Object files = py::list({});
        for (const auto& [name, content] : r.files) {
            py::Object a = text(name), b = text(content);
            py::append(files, py::Object::steal(Py_BuildValue("(OO)", a.ptr(), b.ptr())));
        }
        py::Object images = py::list({});
        for (const auto& [name, content] : r.images) {
            py::Object a = text(name);
            py::Object b = py::Object::steal(
                PyBytes_FromStringAndSize(content.data(), static_cast<Py_ssize_t>(content.size())));
            py::append(images, py::Object::steal(Py_BuildValue("(OO)", a.ptr(), b.ptr())));
        }
        return py::dict({{"plan", plan_dict(r.plan)},
                         {"cues", cue_list(r.cues)},
                         {"words", word_list(r.words)},
                         {"notes", list_of(r.notes)},
                         {"srt", text(r.srt)},
                         {"ass", text(r.ass)},
                         {"groups", groups},
                         {"sounds", sounds},
                         {"mix", step_dict(r.mix)},
                         {"finish", step_dict(r.finish)},
                         {"files", files},
                         {"images", images},
                         {"scratch", list_of(r.scratch)}});
    });
}

PyObject* check_output_name_entry(PyObject*, PyObject* name) {
    return py::entry([&] {
        // The name as the file system gets it: a str with surrogate escapes
        // names a file too.
        std::string fault = "must be a plain file name in the work directory";
        if (PyUnicode_Check(name)) {
            const py::Object bytes = py::Object::steal(PyUnicode_EncodeFSDefault(name));
            fault = output_name_fault(std::string(PyBytes_AS_STRING(bytes.ptr()),
                                                  static_cast<size_t>(PyBytes_GET_SIZE(bytes.ptr()))));
        }
        if (!fault.empty()) py::raise_format(PyExc_ValueError, "output name %s, got %R", fault.c_str(), name);
        return py::Object::borrow(py::none());
    });
}

PyObject* chunk_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return py::entry([&] {
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

PyObject* spoken_text_entry(PyObject*, PyObject* arg) {
    return py::entry([&] { return text(read_marks(to_text(arg, "text")).text); });
}

PyObject* colour_entry(PyObject*, PyObject* args) {
    return py::entry([&] {
        PyObject* value = nullptr;
        const char* what = "colour";
        if (!PyArg_ParseTuple(args, "U|s:colour", &value, &what)) py::raise_current();
        return text(colour_text(parse_colour(to_text(value, what), what)));
    });
}

PyObject* escape_ass_entry(PyObject*, PyObject* arg) {
    return py::entry([&] { return text(ass_escape(to_text(arg, "text"))); });
}

PyObject* filter_arg_entry(PyObject*, PyObject* arg) {
    return py::entry([&] { return text(filter_arg(to_text(arg, "value"))); });
}

PyObject* encode_args_entry(PyObject*, PyObject* args) {
    return py::entry([&] {
        PyObject* encoder = nullptr;
        PyObject* quality = nullptr;
        if (!PyArg_ParseTuple(args, "UU:encode_args", &encoder, &quality)) py::raise_current();
        const std::string name = to_text(encoder, "encoder");
        check_encoder(name);
        return list_of(encode_args(name, to_choice(quality, "quality", kQualities)));
    });
}

PyObject* hardware_probe_entry(PyObject*, PyObject*) {
    return py::entry([&] { return list_of(hardware_probe_args()); });
}

// Interns the job's attribute names; adds the limits the core enforces and the tables of what it draws,
// for callers that check before they call.
void exec_module(py::Handle module) {
    Names& n = *new (PyModule_GetState(module.ptr())) Names{};
#define STUDIO_INTERN(name) n.name = py::interned(#name);
    STUDIO_JOB_NAMES(STUDIO_INTERN)
#undef STUDIO_INTERN
    for (const auto& [name, value] : {std::pair{"MIN_SPEED", kMinSpeed}, std::pair{"MAX_SPEED", kMaxSpeed},
                                      std::pair{"MIN_BED_VOLUME", kMinBedVolume},
                                      std::pair{"MAX_BED_VOLUME", kMaxBedVolume},
                                      std::pair{"MIN_MUSIC_VOLUME", kMinMusicVolume},
                                      std::pair{"MAX_MUSIC_VOLUME", kMaxMusicVolume},
                                      std::pair{"MIN_MUSIC_SECONDS", kMinMusicSeconds},
                                      std::pair{"MUSIC_DUCK", kMusicDuck},
                                      std::pair{"TITLE_SECONDS", kTitleSeconds}})
        py::add_constant(module, name, py::floating(value));
    add_tables(module);
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
    Names& n = names_of(module);
#define STUDIO_VISIT(name) Py_VISIT(n.name.ptr());
    STUDIO_JOB_NAMES(STUDIO_VISIT)
#undef STUDIO_VISIT
    return 0;
}

int clear_module(PyObject* module) {
    Names& n = names_of(module);
#define STUDIO_CLEAR(name) n.name = py::Object();
    STUDIO_JOB_NAMES(STUDIO_CLEAR)
#undef STUDIO_CLEAR
    return 0;
}

// The state is zeroed memory until exec runs: empty Objects either way.
void free_module(void* module) { names_of(static_cast<PyObject*>(module)).~Names(); }

py::ExtensionModule module_def{
    "clipweave.studio._core",
    "The studio render's planning, captions and ffmpeg command, in C++.",
    {
        {"plan", plan_entry, METH_O,
         "plan(job, /)\n--\n\nA dict of the clips of a job: where each starts, how long it runs, what of its "
         "narration is heard, where it lands in the output, and a note for each adjusted segment."},
        {"captions", captions_entry, METH_O,
         "captions(job, /)\n--\n\nA dict of the timed caption cues and heard words of a job, its notes on "
         "the captions, and their SRT and ASS texts."},
        {"prepare", prepare_entry, METH_O,
         "prepare(job, /)\n--\n\nA dict of everything the render's ffmpeg runs need: plan, captions, the "
         "groups' runs and the finish, the files to write and those the runs leave."},
        {"check_output_name", check_output_name_entry, METH_O,
         "check_output_name(name, /)\n--\n\nNone; ValueError unless name is a plain file name in the work "
         "directory ending in .mp4."},
        {"chunk_caption", py::with_keywords(chunk_entry), METH_VARARGS | METH_KEYWORDS,
         "chunk_caption(text, line_chars=30, max_lines=2)\n--\n\nA list of a narration's caption "
         "chunks, lines joined by a line feed."},
        {"spoken_text", spoken_text_entry, METH_O,
         "spoken_text(text, /)\n--\n\nA narration's text as it is spoken and shown: its emphasis markers "
         "(*word*) left out, \\* made an asterisk."},
        {"colour", colour_entry, METH_VARARGS,
         "colour(text, what='colour', /)\n--\n\nA CSS colour name or #rrggbb as #rrggbb; ValueError naming what "
         "otherwise."},
        {"escape_ass", escape_ass_entry, METH_O,
         "escape_ass(text, /)\n--\n\nText as an ASS event shows it literally."},
        {"filter_arg", filter_arg_entry, METH_O,
         "filter_arg(value, /)\n--\n\nA value escaped for a filter option inside a filter graph."},
        {"encode_args", encode_args_entry, METH_VARARGS,
         "encode_args(encoder, quality, /)\n--\n\nA list of the encoder and container options of the "
         "output."},
        {"hardware_probe_args", hardware_probe_entry, METH_NOARGS,
         "hardware_probe_args()\n--\n\nThe arguments of a tiny encode that succeeds only where the hardware "
         "encoder works."},
    },
    py::exec_step<exec_module>,
    {sizeof(Names), traverse_module, clear_module, free_module}};

}  // namespace
}  // namespace clipweave::studio

PyMODINIT_FUNC PyInit__core(void) { return clipweave::studio::module_def.init(); }
