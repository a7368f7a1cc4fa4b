// One segment becomes one merged clip: narration, cut, merge, clean-up.
#include <string>

#include "../runtime.hpp"
#include "pipeline.hpp"

namespace clipweave::pipeline {
namespace {

py::Object indexed_path(py::Handle output_dir, const char* stem, Py_ssize_t i,
                        const char* extension) {
    const std::string name = stem + std::to_string(i) + extension;
    return join_path(output_dir, name.c_str());
}

py::Object argv(std::initializer_list<py::Handle> items) { return py::list(items); }

}  // namespace

void produce_segment_clip(Py_ssize_t i, py::Handle seg, py::Handle output_dir,
                          py::Handle video_file, py::Handle tts_voice, py::Handle final_files) {
    py::Object clip_file = indexed_path(output_dir, "clip_", i, ".mp4");
    py::Object voice_file = indexed_path(output_dir, "voice_", i, ".mp3");
    py::Object merged_file = indexed_path(output_dir, "merged_", i, ".mp4");

    global("_generate_tts")({seg["voiceover"], voice_file, tts_voice});
    py::Object pause = py::floating(0.5);
    global("time").attr("sleep")({pause});

    py::Object start = seg["start"];
    py::Object end = seg["end"];
    const auto s = [](const char* text) { return py::str(text); };
    // Seeking before the input, stream copy, no sound: the cut is cheap.
    run_checked(argv({s("ffmpeg"), s("-y"), s("-loglevel"), s("error"), s("-ss"), start, s("-to"),
                      end, s("-i"), video_file, s("-c"), s("copy"), s("-an"), clip_file}));
    // The narration becomes the clip's only sound.
    run_checked(argv({s("ffmpeg"), s("-y"), s("-loglevel"), s("error"), s("-i"), clip_file,
                      s("-i"), voice_file, s("-map"), s("0:v"), s("-map"), s("1:a"), s("-c:v"),
                      s("copy"), s("-c:a"), s("aac"), s("-shortest"), merged_file}));

    py::append(final_files, merged_file);
    remove_if_exists(clip_file);
    remove_if_exists(voice_file);
}

}  // namespace clipweave::pipeline
