// clipweave.voice._engines: the offline voices for Python. The speech is
// made with the GIL released; the engines' own locks keep them one
// synthesis at a time each.
#include <string>

#include "../common/extension.hpp"
#include "voice.hpp"

namespace clipweave::voice {
namespace {

std::string to_text(py::Handle o, const char* what) {
    if (!PyUnicode_Check(o.ptr()))
        py::raise_format(PyExc_TypeError, "%s must be a str, not %.100s", what, Py_TYPE(o.ptr())->tp_name);
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(o.ptr(), &size);
    if (utf8 == nullptr) py::raise_current();
    return std::string(utf8, static_cast<size_t>(size));
}

py::Object span_tuple(std::initializer_list<py::Arg> items) {
    return py::Object::steal(PySequence_Tuple(py::list(items).ptr()));
}

PyObject* speak_entry(PyObject*, PyObject* args) {
    return py::entry([&] {
        PyObject* text_arg = nullptr;
        PyObject* engine_arg = nullptr;
        PyObject* voice_arg = nullptr;
        if (!PyArg_ParseTuple(args, "OOO:speak", &text_arg, &engine_arg, &voice_arg)) py::raise_current();
        const std::u32string text = decode_utf8(to_text(text_arg, "text"));
        const std::string engine = to_text(engine_arg, "engine");
        const std::string voice = to_text(voice_arg, "voice");
        const Spoken spoken = py::released([&] { return speak(text, engine, voice); });
        const auto& pcm = spoken.speech.pcm;
        py::Object audio = py::Object::steal(PyBytes_FromStringAndSize(
            reinterpret_cast<const char*>(pcm.data()), static_cast<Py_ssize_t>(pcm.size() * sizeof(int16_t))));
        py::Object words = py::list({});
        for (size_t i = 0; i < spoken.tokens.size(); ++i) {
            const Token& t = spoken.tokens[i];
            py::Object word = py::str(encode_utf8(text.substr(t.begin, t.end - t.begin)));
            py::append(words, span_tuple({word, spoken.times[i].start, spoken.times[i].end}));
        }
        py::Object engine_words = py::list({});
        for (const EngineWord& w : spoken.speech.words)
            py::append(engine_words, span_tuple({static_cast<long long>(w.offset), w.start, w.end}));
        return span_tuple({audio, spoken.speech.rate, words, engine_words});
    });
}

PyObject* voices_entry(PyObject*, PyObject*) {
    return py::entry([&] {
        const std::vector<VoiceInfo> espeak = py::released([] { return espeak_voices(); });
        std::vector<VoiceInfo> all = flite_voices();
        all.insert(all.end(), espeak.begin(), espeak.end());
        py::Object out = py::list({});
        for (const VoiceInfo& v : all)
            py::append(out, span_tuple({py::str(v.engine), py::str(v.name), py::str(v.language)}));
        return out;
    });
}

py::ExtensionModule module_def{
    "clipweave.voice._engines",
    "Offline speech with a time for every written word, in C++.",
    {
        {"speak", speak_entry, METH_VARARGS,
         "speak(text, engine, voice, /)\n--\n\n"
         "text spoken by engine ('espeak-ng' or 'flite') in voice, as (pcm, rate, words, engine_words): "
         "16-bit mono samples, their rate, (token, start, end) for every whitespace-separated token of "
         "text in seconds, and the engine's own words as (code point offset, start, end)."},
        {"voices", voices_entry, METH_NOARGS,
         "voices()\n--\n\nA list of (engine, voice, language), one for every offline voice."},
    }};

}  // namespace
}  // namespace clipweave::voice

PyMODINIT_FUNC PyInit__engines(void) { return clipweave::voice::module_def.init(); }
