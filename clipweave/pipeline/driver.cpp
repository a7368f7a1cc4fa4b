// The frame of run_recap: working paths, download, segments, final stage.
#include <string>

#include "../pywith.hpp"
#include "../runtime.hpp"
#include "pipeline.hpp"

namespace clipweave::pipeline {
namespace {

py::Object load_segments(py::Handle segments_file) {
    const Names& n = names();
    py::Object file = open({segments_file}, {{n.encoding, "utf-8"}});
    py::Object segments;
    py::with(file, [&](py::Handle f) { segments = global(n.json).attr(n.load)({f}); });
    return segments;
}

py::Object decimal(Py_ssize_t n) { return py::str(std::to_string(n)); }

}  // namespace

py::Object run_recap(py::Handle youtube_url, py::Handle segments_file, double speed_factor,
                     py::Handle tts_voice, py::Handle output_dir) {
    const Names& n = names();
    WorkPaths paths{
        join_path(output_dir, "movie.mp4"),
        join_path(output_dir, "horizontal_final.mp4"),
        join_path(output_dir, "FINAL_RECAP.mp4"),
        join_path(output_dir, "filelist.txt"),
    };
    // A stale video must not pass for this run's download.
    remove_if_exists(paths.video_file);
    global(n._download_video)({youtube_url, paths.video_file});

    py::Object segments = load_segments(segments_file);
    py::Object count = decimal(py::length(segments));
    print(py::concat({"🎬 Processing ", count, " segments..."}));

    py::Object final_files = py::list({});
    Py_ssize_t i = 0;
    py::for_each(segments, [&](py::Handle seg) {
        py::Object start = py::format(seg[n.start]);
        py::Object end = py::format(seg[n.end]);
        print(py::concat({"  Segment ", decimal(i + 1), "/", count, ": ", start, " → ", end}));
        produce_segment_clip(i, seg, output_dir, paths.video_file, tts_voice, final_files);
        ++i;
    });
    return concat_and_render(final_files, paths, speed_factor);
}

}  // namespace clipweave::pipeline
