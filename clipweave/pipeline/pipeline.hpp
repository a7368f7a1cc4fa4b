// The recap pipeline: the body of run_recap and the tempo filter chain.
#pragma once

#include <string>

#include "../common/pyref.hpp"

namespace clipweave::pipeline {

// Body of run_recap: download, one narrated clip per segment, join, render.
py::Object run_recap(py::Handle youtube_url, py::Handle segments_file, double speed_factor,
                     py::Handle tts_voice, py::Handle output_dir);

// Per segment: speech, pause, cut, merge; appends the merged clip to final_files.
void produce_segment_clip(Py_ssize_t i, py::Handle seg, py::Handle output_dir,
                          py::Handle video_file, py::Handle tts_voice, py::Handle final_files);

struct WorkPaths {
    py::Object video_file;    // movie.mp4
    py::Object temp_output;   // horizontal_final.mp4
    py::Object final_output;  // FINAL_RECAP.mp4
    py::Object filelist;      // filelist.txt
};

// Joins the merged clips, renders the vertical video, cleans up; returns
// the path of the vertical video.
py::Object concat_and_render(py::Handle final_files, const WorkPaths& paths, double speed_factor);

// The atempo filter text for a speed factor (body of _build_atempo_chain).
std::string atempo_chain(double speed);

// os.path.join(directory, name)
py::Object join_path(py::Handle directory, const char* name);

// Removes path if os.path.exists says it is there.
void remove_if_exists(py::Handle path);

}  // namespace clipweave::pipeline
