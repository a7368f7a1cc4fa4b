// The audio tempo filter: one atempo instance accepts 0.5 to 2.0, so speeds
// above 2.0 become a chain of full 2.0 steps and one remainder.
#include <cmath>

#include "../common/number_text.hpp"
#include "pipeline.hpp"

namespace clipweave::pipeline {

std::string atempo_chain(double speed) {
    if (!std::isfinite(speed)) {
        // inf would halve forever and nan would yield a filter nobody accepts.
        PyErr_Format(PyExc_ValueError, "speed must be a finite number, got %s",
                     repr_text(speed).c_str());
        py::raise_current();
    }
    if (speed <= 2.0) return "atempo=" + repr_text(speed);
    int full_steps = 0;
    double remaining = speed;
    while (remaining > 2.0) {
        ++full_steps;
        remaining *= 0.5;
    }
    const std::string last = fixed_text(remaining, 4);
    std::string chain;
    chain.reserve(full_steps * (sizeof "atempo=2.0," - 1) + (sizeof "atempo=" - 1) + last.size());
    for (int i = 0; i < full_steps; ++i) chain += "atempo=2.0,";
    chain += "atempo=";
    chain += last;
    return chain;
}

}  // namespace clipweave::pipeline
