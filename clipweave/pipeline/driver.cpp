// The frame of run_recap: working paths, download, segments, final stage.
#include <string>

#include "../pywith.hpp"
#include "../runtime.hpp"
#include "pipeline.hpp"

namespace clipweave::pipeline {
namespace {

py::Object load_segments(py::Handle segments_file) {
    py::Object file = open({segments_file}, {{"encoding", py::str("utf-8")}});
    py::Object segments;
    py::with(file, [&](py::Handle f) { segments = global("json").attr("load")({f}); });
    return segments;
}

py::Object decimal(Py_ssize_t n) { return py::str(std::to_string(n)); }

}  // namespace

py::Object run_recap(py::Handle youtube_url, py::Handle segments_file, double speed_factor,
                     py::Handle tts_voice, py::Handle output_dir) {
    WorkPaths paths{
        join_path(output_dir, "movie.mp4"),
        join_path(output_dir, "horizontal_final.mp4"),
        join_path(output_dir, "FINAL_RECAP.mp4"),
        join_path(output_dir, "filelist.txt"),
    };
    // A stale video must not pass for this run's download.
    remove_if_exists(paths.video_file);
    global("_download_video")({youtube_url, paths.video_file});

    py::Object segments = load_segments(segments_file);
    const Py_ssize_t count = py::length(segments);
    py::Object count_text = decimal(count);
    print(py::join({py::str("🎬 Processing "), count_text, py::str(" segments...")}));

    py::Object final_files = py::list({});
    py::Object iter = py::Object::steal(PyObject_GetIter(segments.ptr()));
    Py_ssize_t i = 0;
    while (PyObject* item = PyIter_Next(iter.ptr())) {
        py::Object seg = py::Object::steal(item);
        py::Object start = py::format(seg["start"]);
        py::Object end = py::format(seg["end"]);
        print(py::join({py::str("  Segment "), decimal(i + 1), py::str("/"), count_text,
                        py::str(": "), start, py::str(" → "), end}));
        produce_segment_clip(i, seg, output_dir, paths.video_file, tts_voice, final_files);
        ++i;
    }
    if (PyErr_Occurred()) py::raise_current();

    return concat_and_render(final_files, paths, speed_factor);
}

}  // namespace clipweave::pipeline
