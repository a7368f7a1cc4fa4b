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

py::Object make_headers() {
    return request_headers({{"content-type", "application/json"}}, kTtsOrigin, "/text-to-speech/",
                           "Mozilla/5.0");
}

}  // namespace

void generate_tts(py::Handle text, py::Handle output_file, py::Handle voice) {
    const Names& n = names();
    const std::string url = std::string(kTtsOrigin) + "/api/generate-audio-frontend";
    py::Object payload = py::dict({{"text", text}, {"voice", voice}});
    py::Object headers = make_headers();
    py::Object response = global(n.requests).attr(n.post)(
        {url.c_str()}, {{n.json, payload}, {n.headers, headers}, {n.timeout, kTimeout}});

    py::Object ok = py::integer(kOk);
    if (py::compare(response.attr(n.status_code), ok, Py_NE)) {
        py::raise(PyExc_Exception, py::concat({"TTS failed for voice ", voice, ": HTTP ",
                                               py::format(response.attr(n.status_code))}));
    }
    py::Object data = response.attr(n.json)();
    py::Object audio_base64 =
        global(n.re).attr(n.sub)({"^data:audio/.+;base64,", "", data[n.audio_data]});
    // Decoded before the file is opened, so a malformed answer leaves an
    // existing file untouched.
    py::Object audio = global(n.base64).attr(n.b64decode)({audio_base64});
    py::Object file = open({output_file, "wb"});
    py::with(file, [&](py::Handle f) { f.attr(n.write)({audio}); });
}

}  // namespace clipweave::services
