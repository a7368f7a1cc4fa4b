// Paths and removals shared by the pipeline's stages.
#include "../runtime.hpp"
#include "pipeline.hpp"

namespace clipweave::pipeline {

py::Object join_path(py::Handle directory, const char* name) {
    const Names& n = names();
    return global(n.os).attr(n.path).attr(n.join)({directory, name});
}

void remove_if_exists(py::Handle path) {
    const Names& n = names();
    if (global(n.os).attr(n.path).attr(n.exists)({path}).truthy()) global(n.os).attr(n.remove)({path});
}

}  // namespace clipweave::pipeline
