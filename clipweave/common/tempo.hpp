// The audio tempo filter chain for a speed factor, shared by both modules
// so that the exact pipeline and the studio change tempo the same way.
#pragma once

#include <string>

namespace clipweave::common {

// One atempo instance accepts 0.5 to 2.0, so speeds above 2.0 become a
// chain of full 2.0 steps and one remainder. speed must be finite: inf
// would halve forever.
std::string atempo_chain(double speed);

}  // namespace clipweave::common
