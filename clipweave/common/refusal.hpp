// The two ways the plain C++ of an extension module says no, without
// knowing Python: the binding's entry points (py::entry) make them a
// ValueError and a RuntimeError with the same one-line message.
#pragma once

#include <stdexcept>

namespace clipweave::common {

// What the caller asked for cannot be done (a bad value, an unknown name).
struct Refused : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A sound request that failed all the same (an engine that would not start).
struct Failed : std::runtime_error {
    using std::runtime_error::runtime_error;
};

}  // namespace clipweave::common
