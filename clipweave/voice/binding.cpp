// clipweave.voice._engines: the offline voices for Python. The speech is
// made with the GIL released; the engines' own locks keep them one
// synthesis at a time each.
#include <exception>
#include <string>
#include <utility>

#include "../common/pyref.hpp"
#include "voice.hpp"

namespace clipweave::voice {
namespace {

std::string to_text(py::Handle o, const char* what) {
    if (!PyUnicode_Check(o.ptr())) {
        PyErr_Format(PyExc_TypeError, "%s must be a str, not %.100s", what, Py_TYPE(o.ptr())->tp_name);
        py::raise_current();
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(o.ptr(), &size);
    if (utf8 == nullptr) py::raise_current();
    return std::string(utf8, static_cast<size_t>(size));
}

// body() with the GIL released: its result, or what it threw. Called
// outside at_c_boundary: taking the GIL back at interpreter exit ends the
// thread by unwinding, which must not cross a noexcept frame.
template <class Result>
struct Released {
    Result result{};
    std::exception_ptr failure;
    Result get() const {
        if (failure) std::rethrow_exception(failure);
        return result;
    }
};

template <class Body>
auto without_gil(Body&& body) {
    Released<decltype(body())> out;
    PyThreadState* state = PyEval_SaveThread();
    try {
        out.result = body();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        out.failure = std::current_exception();
    }
    PyEval_RestoreThread(state);
    return out;
}

using py::entry;

py::Object span_tuple(std::initializer_list<py::Arg> items) {
    return py::Object::steal(PySequence_Tuple(py::list(items).ptr()));
}

PyObject* speak_entry(PyObject*, PyObject* args) {
    std::u32string text;
    std::string engine, voice;
    const bool read = py::at_c_boundary([&] {
        PyObject* text_arg = nullptr;
        PyObject* engine_arg = nullptr;
        PyObject* voice_arg = nullptr;
        if (!PyArg_ParseTuple(args, "OOO:speak", &text_arg, &engine_arg, &voice_arg)) py::raise_current();
        text = decode_utf8(to_text(text_arg, "text"));
        engine = to_text(engine_arg, "engine");
        voice = to_text(voice_arg, "voice");
    });
    if (!read) return nullptr;
    const auto made = without_gil([&] { return speak(text, engine, voice); });
    return entry([&] {
        const Spoken spoken = made.get();
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
    const auto listed = without_gil([] { return espeak_voices(); });
    return entry([&] {
        std::vector<VoiceInfo> all = flite_voices();
        const std::vector<VoiceInfo> espeak = listed.get();
        all.insert(all.end(), espeak.begin(), espeak.end());
        py::Object out = py::list({});
        for (const VoiceInfo& v : all)
            py::append(out, span_tuple({py::str(v.engine), py::str(v.name), py::str(v.language)}));
        return out;
    });
}

PyMethodDef methods[] = {
    {"speak", speak_entry, METH_VARARGS,
     "speak(text, engine, voice) -> (pcm, rate, words, engine_words)\n--\n\n"
     "text spoken by engine ('espeak-ng' or 'flite') in voice: 16-bit mono samples, their rate, "
     "(token, start, end) for every whitespace-separated token of text in seconds, and the "
     "engine's own words as (code point offset, start, end)."},
    {"voices", voices_entry, METH_NOARGS,
     "voices() -> list\n--\n\n(engine, voice, language) of every offline voice."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
#ifdef Py_mod_multiple_interpreters
    // The engines' state is process-wide and locked, not an interpreter's.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
    {0, nullptr},
};

constexpr const char kDoc[] = "Offline speech with a time for every written word, in C++.";
PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "clipweave.voice._engines", kDoc, 0, methods,
                          slots, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace clipweave::voice

PyMODINIT_FUNC PyInit__engines(void) { return PyModuleDef_Init(&clipweave::voice::module_def); }
