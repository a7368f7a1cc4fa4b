// The four callables: what they are called, what they take, what they say
// about themselves, and which body runs once their arguments are bound.
#include "callables.hpp"

#include "pipeline/pipeline.hpp"
#include "services/services.hpp"

namespace clipweave {
namespace {

py::Object download_video_body(const BoundArgs& a) {
    services::download_video(a.str(0), a.str(1));
    return py::Object::borrow(py::none());
}

py::Object generate_tts_body(const BoundArgs& a) {
    services::generate_tts(a.str(0), a.str(1), a.str(2));
    return py::Object::borrow(py::none());
}

py::Object build_atempo_chain_body(const BoundArgs& a) {
    return py::str(pipeline::atempo_chain(a.number(0)));
}

py::Object run_recap_body(const BoundArgs& a) {
    return pipeline::run_recap(a.str(0), a.str(1), a.number(2), a.str(3), a.str(4));
}

constexpr const char kRunRecapDoc[] =
    "\n"
    "    Main recap processing engine.\n"
    "    \n"
    "    1. Download YouTube video\n"
    "    2. Load segments.json\n"
    "    3. Generate TTS for each segment\n"
    "    4. Cut video clips\n"
    "    5. Merge clips with audio\n"
    "    6. Concatenate all clips\n"
    "    7. Convert to 9:16 vertical + apply speed\n"
    "    8. Cleanup temp files\n"
    "    \n"
    "    Returns path to FINAL_RECAP.mp4\n"
    "    ";

constexpr const char kAtempoDoc[] =
    "\n"
    "    Build ffmpeg atempo filter chain.\n"
    "    atempo is limited to 0.5-2.0 range per filter, so we chain for higher speeds.\n"
    "    ";

const Signature kCallables[] = {
    {"_download_video",
     "Download a YouTube video through the API of the video download service.",
     {{"url", Kind::Str}, {"output_file", Kind::Str}},
     2, 2, nullptr, "None", download_video_body},
    {"_generate_tts",
     "Synthesise speech for a text through the API of the text-to-speech service.",
     {{"text", Kind::Str}, {"output_file", Kind::Str}, {"voice", Kind::Str}},
     3, 3, nullptr, "None", generate_tts_body},
    {"_build_atempo_chain", kAtempoDoc, {{"speed", Kind::Float}}, 1, 1, nullptr, "str",
     build_atempo_chain_body},
    {"run_recap", kRunRecapDoc,
     {{"youtube_url", Kind::Str},
      {"segments_file", Kind::Str},
      {"speed_factor", Kind::Float},
      {"tts_voice", Kind::Str},
      {"output_dir", Kind::Str}},
     5, 4, ".", "str", run_recap_body},
};

}  // namespace

const Signature* callables_begin() { return std::begin(kCallables); }
const Signature* callables_end() { return std::end(kCallables); }

}  // namespace clipweave
