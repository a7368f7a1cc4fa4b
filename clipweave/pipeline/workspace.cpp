// Paths, removals and ffmpeg runs shared by the pipeline's stages.
#include "../runtime.hpp"
#include "pipeline.hpp"

namespace clipweave::pipeline {

py::Object join_path(py::Handle directory, const char* name) {
    return global("os").attr("path").attr("join")({directory, py::str(name)});
}

void remove_if_exists(py::Handle path) {
    if (global("os").attr("path").attr("exists")({path}).truthy())
        global("os").attr("remove")({path});
}

// Never a shell; nothing captured; a non-zero exit raises CalledProcessError.
void run_checked(py::Handle argv) {
    global("subprocess").attr("run")({argv}, {{"check", py::boolean(true)}});
}

}  // namespace clipweave::pipeline
