// External programs: argument vectors and runs through the host's
// subprocess.run, never a shell, nothing captured but where stated.
#pragma once

#include "common/pyref.hpp"

namespace clipweave {

// ["ffmpeg", "-y", "-loglevel", "error", *args]: overwrite outputs, print errors only.
py::Object ffmpeg_argv(std::initializer_list<py::Arg> args);

// subprocess.run(argv, check=True): a non-zero exit raises CalledProcessError.
void run_checked(py::Handle argv);

// subprocess.run(argv, capture_output=True); the exit status, never raised.
py::Object run_captured(py::Handle argv);

}  // namespace clipweave
