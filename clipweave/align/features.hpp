// Frame features for alignment: cepstra of a mel filterbank with their
// slopes, normalised per recording so that two voices compare, and how
// silent each frame is.
#pragma once

#include <cstddef>
#include <vector>

#include "align.hpp"

namespace clipweave::align {

constexpr double kHopSeconds = 0.010;
constexpr double kWindowSeconds = 0.025;

// The time a frame stands for: the middle of its window.
inline double frame_time(double frame) { return frame * kHopSeconds + kWindowSeconds / 2; }

struct Frames {
    int dim = 0;
    std::vector<float> values;   // frame-major, dim per frame
    std::vector<float> level;    // frame energy, dB below full scale
    std::vector<float> silence;  // 0 (sound) .. 1 (silence)
    bool has_sound = false;      // false: silence or a steady noise only

    size_t size() const { return level.size(); }
    const float* row(size_t i) const { return values.data() + i * static_cast<size_t>(dim); }
};

// Features of audio at its own rate; the filterbank spans the same
// frequencies whatever the rate (up to top_hz), so two rates compare.
Frames frames_of(const Audio& audio, double top_hz);

}  // namespace clipweave::align
