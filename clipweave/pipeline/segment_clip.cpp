// One segment becomes one merged clip: narration, cut, merge, clean-up.
#include <string>

#include "../process.hpp"
#include "../runtime.hpp"
#include "pipeline.hpp"

namespace clipweave::pipeline {
namespace {

py::Object indexed_path(py::Handle output_dir, const char* stem, Py_ssize_t i,
                        const char* extension) {
    const std::string name = stem + std::to_string(i) + extension;
    return join_path(output_dir, name.c_str());
}

}  // namespace

void produce_segment_clip(Py_ssize_t i, py::Handle seg, py::Handle output_dir,
                          py::Handle video_file, py::Handle tts_voice, py::Handle final_files) {
    const Names& n = names();
    py::Object clip_file = indexed_path(output_dir, "clip_", i, ".mp4");
    py::Object voice_file = indexed_path(output_dir, "voice_", i, ".mp3");
    py::Object merged_file = indexed_path(output_dir, "merged_", i, ".mp4");

    global(n._generate_tts)({seg[n.voiceover], voice_file, tts_voice});
    global(n.time).attr(n.sleep)({0.5});

    py::Object start = seg[n.start];
    py::Object end = seg[n.end];
    // Seeking before the input, stream copy, no sound: the cut is cheap.
    run_checked(ffmpeg_argv({"-ss", start, "-to", end, "-i", video_file, "-c", "copy", "-an", clip_file}));
    // The narration becomes the clip's only sound.
    run_checked(ffmpeg_argv({"-i", clip_file, "-i", voice_file, "-map", "0:v", "-map", "1:a", "-c:v",
                             "copy", "-c:a", "aac", "-shortest", merged_file}));

    py::append(final_files, merged_file);
    remove_if_exists(clip_file);
    remove_if_exists(voice_file);
}

}  // namespace clipweave::pipeline
