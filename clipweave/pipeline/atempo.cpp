// The body of _build_atempo_chain: the shared chain, for finite speeds only.
#include <cmath>

#include "../common/number_text.hpp"
#include "../common/tempo.hpp"
#include "pipeline.hpp"

namespace clipweave::pipeline {

std::string atempo_chain(double speed) {
    if (!std::isfinite(speed)) {
        // inf would halve forever and nan would yield a filter nobody accepts.
        PyErr_Format(PyExc_ValueError, "speed must be a finite number, got %s",
                     common::repr_text(speed).c_str());
        py::raise_current();
    }
    return common::atempo_chain(speed);
}

}  // namespace clipweave::pipeline
