// Speech synthesis client: one POST with the text and the voice; the answer
// carries the audio as Base64, optionally behind a data-URL header.
#include <string>

#include "../pywith.hpp"
#include "../runtime.hpp"
#include "endpoints.hpp"
#include "services.hpp"

namespace clipweave::services {
namespace {

constexpr long long kTimeout = 60;
constexpr long long kOk = 200;

py::Object make_payload(py::Handle text, py::Handle voice) {
    py::Object payload = py::Object::steal(PyDict_New());
    if (PyDict_SetItemString(payload.ptr(), "text", text.ptr()) < 0 ||
        PyDict_SetItemString(payload.ptr(), "voice", voice.ptr()) < 0)
        py::raise_current();
    return payload;
}

py::Object make_headers() {
    const std::string origin = kTtsOrigin;
    const std::pair<const char*, std::string> entries[] = {
        {"accept", "*/*"},
        {"content-type", "application/json"},
        {"origin", origin},
        {"referer", origin + "/text-to-speech/"},
        {"user-agent", "Mozilla/5.0"},
    };
    py::Object headers = py::Object::steal(PyDict_New());
    for (const auto& [name, value] : entries) {
        py::Object v = py::str(value);
        if (PyDict_SetItemString(headers.ptr(), name, v.ptr()) < 0) py::raise_current();
    }
    return headers;
}

}  // namespace

void generate_tts(py::Handle text, py::Handle output_file, py::Handle voice) {
    py::Object url = py::str(std::string(kTtsOrigin) + "/api/generate-audio-frontend");
    py::Object payload = make_payload(text, voice);
    py::Object headers = make_headers();
    py::Object timeout = py::integer(kTimeout);
    py::Object response = global("requests").attr("post")(
        {url}, {{"json", payload}, {"headers", headers}, {"timeout", timeout}});

    py::Object ok = py::integer(kOk);
    if (py::not_equal(response.attr("status_code"), ok)) {
        py::Object message = py::join({py::str("TTS failed for voice "), voice, py::str(": HTTP "),
                                       py::format(response.attr("status_code"))});
        PyErr_SetObject(PyExc_Exception, message.ptr());
        py::raise_current();
    }
    py::Object data = response.attr("json")();
    py::Object audio_base64 = global("re").attr("sub")(
        {py::str("^data:audio/.+;base64,"), py::str(""), data["audio_data"]});
    // Decoded before the file is opened, so a malformed answer leaves an
    // existing file untouched.
    py::Object audio = global("base64").attr("b64decode")({audio_base64});
    py::Object file = open({output_file, py::str("wb")});
    py::with(file, [&](py::Handle f) { f.attr("write")({audio}); });
}

}  // namespace clipweave::services
