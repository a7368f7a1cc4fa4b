// The last stage: join the merged clips, render the 9:16 video at the
// speed factor (hardware encoder first, software fallback), clean up.
#include <string>

#include "../process.hpp"
#include "../pywith.hpp"
#include "../runtime.hpp"
#include "../common/number_text.hpp"
#include "pipeline.hpp"

namespace clipweave::pipeline {
namespace {

using common::fixed_text;
using common::repr_text;

// One line of the concat demuxer's list. Inside single quotes nothing is
// special but the quote itself, which is closed, escaped and reopened.
py::Object filelist_line(py::Handle clip) {
    const Names& n = names();
    py::Object absolute = global(n.os).attr(n.path).attr(n.abspath)({clip});
    py::Object quote = py::str("'");
    py::Object escaped_quote = py::str("'\\''");
    py::Object escaped =
        py::Object::steal(PyUnicode_Replace(absolute.ptr(), quote.ptr(), escaped_quote.ptr(), -1));
    return py::concat({"file '", escaped, "'\n"});
}

void write_filelist(py::Handle final_files, py::Handle filelist) {
    py::Object file = open({filelist, "w"});
    py::with(file, [&](py::Handle f) {
        py::for_each(final_files, [&](py::Handle clip) { f.attr(names().write)({filelist_line(clip)}); });
    });
}

}  // namespace

py::Object concat_and_render(py::Handle final_files, const WorkPaths& paths, double speed_factor) {
    const Names& n = names();
    print("🔗 Concatenating segments...");
    write_filelist(final_files, paths.filelist);
    run_checked(ffmpeg_argv({"-f", "concat", "-safe", "0", "-i", paths.filelist, "-c", "copy",
                             paths.temp_output}));

    const std::string speed_text = repr_text(speed_factor);
    print(("📐 Converting to 9:16 vertical at " + speed_text + "x speed...").c_str());
    py::Object vf_filter = py::str(
        "setpts=" + fixed_text(1.0 / speed_factor, 6) +
        "*PTS,scale=1080:1920:force_original_aspect_ratio=increase,crop=1080:1920");
    py::Object af_filter = global(n._build_atempo_chain)({speed_factor});

    py::Object ffmpeg_base =
        ffmpeg_argv({"-i", paths.temp_output, "-vf", vf_filter, "-af", af_filter, "-c:a", "aac"});
    py::Object gpu_cmd = py::concat_lists(
        ffmpeg_base,
        py::list({"-c:v", "h264_nvenc", "-preset", "p1", "-cq", "23", paths.final_output}));
    py::Object cpu_cmd = py::concat_lists(
        ffmpeg_base,
        py::list({"-c:v", "libx264", "-preset", "ultrafast", "-crf", "23", paths.final_output}));

    py::Object zero = py::integer(0);
    if (py::compare(run_captured(gpu_cmd), zero, Py_NE)) {
        print("  (GPU unavailable, using CPU encoder...)");
        run_checked(cpu_cmd);
    }

    print("🧹 Cleaning up...");
    py::for_each(final_files, remove_if_exists);
    remove_if_exists(paths.filelist);
    remove_if_exists(paths.video_file);
    print(py::concat({"✅ Done! Horizontal Output: ", paths.temp_output}));
    print(py::concat({"✅ Done! Vertical Output: ", paths.final_output}));
    return paths.final_output;
}

}  // namespace clipweave::pipeline
