// Word times of one recording carried onto another recording of the same
// text: features of both, a warping path between them, and the reference's
// word boundaries read off that path. Plain C++; align_module.cpp makes it
// the Python module clipweave.align._align.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "../common/refusal.hpp"

namespace clipweave::align {

// A word's span in seconds.
struct Span {
    double start = 0;
    double end = 0;
};

// Bad input (a rate out of range, a span that is not a span).
using Refused = common::Refused;

struct Audio {
    const int16_t* samples = nullptr;
    size_t count = 0;
    int rate = 0;
    double seconds() const { return rate > 0 ? static_cast<double>(count) / rate : 0.0; }
};

// The reference's word spans carried onto the target: one span per word,
// starts non-decreasing, every time within [0, target.seconds()]. A target
// without sound gets the reference's times scaled to its length.
std::vector<Span> align(const Audio& reference, const std::vector<Span>& reference_words,
                        const Audio& target);

// The reference's spans scaled linearly onto the target's length: the
// guess that needs no listening, and the answer when one side is silent.
std::vector<Span> spread(double reference_seconds, const std::vector<Span>& reference_words,
                         double target_seconds);

}  // namespace clipweave::align
