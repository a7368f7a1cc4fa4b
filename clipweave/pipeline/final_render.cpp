// The last stage: join the merged clips, render the 9:16 video at the
// speed factor (hardware encoder first, software fallback), clean up.
#include <string>

#include "../pywith.hpp"
#include "../runtime.hpp"
#include "number_text.hpp"
#include "pipeline.hpp"

namespace clipweave::pipeline {
namespace {

py::Object s(const char* text) { return py::str(text); }

// One line of the concat demuxer's list. Inside single quotes nothing is
// special but the quote itself, which is closed, escaped and reopened.
py::Object filelist_line(py::Handle clip) {
    py::Object absolute = global("os").attr("path").attr("abspath")({clip});
    py::Object quote = s("'");
    py::Object escaped_quote = s("'\\''");
    py::Object escaped =
        py::Object::steal(PyUnicode_Replace(absolute.ptr(), quote.ptr(), escaped_quote.ptr(), -1));
    return py::join({s("file '"), escaped, s("'\n")});
}

void write_filelist(py::Handle final_files, py::Handle filelist) {
    py::Object file = open({filelist, s("w")});
    py::with(file, [&](py::Handle f) {
        py::Object iter = py::Object::steal(PyObject_GetIter(final_files.ptr()));
        while (PyObject* item = PyIter_Next(iter.ptr())) {
            py::Object clip = py::Object::steal(item);
            f.attr("write")({filelist_line(clip)});
        }
        if (PyErr_Occurred()) py::raise_current();
    });
}

void remove_each(py::Handle paths) {
    py::Object iter = py::Object::steal(PyObject_GetIter(paths.ptr()));
    while (PyObject* item = PyIter_Next(iter.ptr())) {
        py::Object path = py::Object::steal(item);
        remove_if_exists(path);
    }
    if (PyErr_Occurred()) py::raise_current();
}

}  // namespace

py::Object concat_and_render(py::Handle final_files, const WorkPaths& paths, double speed_factor) {
    print("🔗 Concatenating segments...");
    write_filelist(final_files, paths.filelist);
    run_checked(py::list({s("ffmpeg"), s("-y"), s("-loglevel"), s("error"), s("-f"), s("concat"),
                          s("-safe"), s("0"), s("-i"), paths.filelist, s("-c"), s("copy"),
                          paths.temp_output}));

    const std::string speed_text = repr_text(speed_factor);
    print(("📐 Converting to 9:16 vertical at " + speed_text + "x speed...").c_str());
    py::Object vf_filter = py::str(
        "setpts=" + fixed_text(1.0 / speed_factor, 6) +
        "*PTS,scale=1080:1920:force_original_aspect_ratio=increase,crop=1080:1920");
    py::Object speed = py::floating(speed_factor);
    py::Object af_filter = global("_build_atempo_chain")({speed});

    py::Object ffmpeg_base =
        py::list({s("ffmpeg"), s("-y"), s("-loglevel"), s("error"), s("-i"), paths.temp_output,
                  s("-vf"), vf_filter, s("-af"), af_filter, s("-c:a"), s("aac")});
    py::Object gpu_cmd = py::concat_lists(
        ffmpeg_base, py::list({s("-c:v"), s("h264_nvenc"), s("-preset"), s("p1"), s("-cq"),
                               s("23"), paths.final_output}));
    py::Object cpu_cmd = py::concat_lists(
        ffmpeg_base, py::list({s("-c:v"), s("libx264"), s("-preset"), s("ultrafast"), s("-crf"),
                               s("23"), paths.final_output}));

    py::Object result =
        global("subprocess").attr("run")({gpu_cmd}, {{"capture_output", py::boolean(true)}});
    py::Object zero = py::integer(0);
    if (py::not_equal(result.attr("returncode"), zero)) {
        print("  (GPU unavailable, using CPU encoder...)");
        run_checked(cpu_cmd);
    }

    print("🧹 Cleaning up...");
    remove_each(final_files);
    remove_if_exists(paths.filelist);
    remove_if_exists(paths.video_file);
    print(py::join({s("✅ Done! Horizontal Output: "), paths.temp_output}));
    print(py::join({s("✅ Done! Vertical Output: "), paths.final_output}));
    return paths.final_output;
}

}  // namespace clipweave::pipeline
