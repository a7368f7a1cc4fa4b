#include "tempo.hpp"

#include "number_text.hpp"

namespace clipweave::common {

std::string atempo_chain(double speed) {
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

}  // namespace clipweave::common
