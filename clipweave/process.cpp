#include "process.hpp"

#include "runtime.hpp"

namespace clipweave {

py::Object ffmpeg_argv(std::initializer_list<py::Arg> args) {
    py::Object argv = py::list({"ffmpeg", "-y", "-loglevel", "error"});
    for (const py::Arg& a : args) py::append(argv, a.p);
    return argv;
}

void run_checked(py::Handle argv) {
    const Names& n = names();
    global(n.subprocess).attr(n.run)({argv}, {{n.check, true}});
}

py::Object run_captured(py::Handle argv) {
    const Names& n = names();
    return global(n.subprocess).attr(n.run)({argv}, {{n.capture_output, true}}).attr(n.returncode);
}

}  // namespace clipweave
