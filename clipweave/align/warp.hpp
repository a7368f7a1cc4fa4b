// Dynamic time warping of two frame sequences in time and memory linear in
// their length: the path of a coarser copy of both, refined within a few
// frames of it at each finer level.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

namespace clipweave::align {

struct Sequence {
    int dim = 0;
    std::vector<float> values;   // frame-major
    std::vector<float> silence;  // 0..1 per frame
    // 0..1 per frame: how freely a pause of the other sequence may lie here
    // (at a word's edge, say, but not inside a word).
    std::vector<float> welcome;
    size_t size() const { return silence.size(); }
    const float* row(size_t i) const { return values.data() + i * static_cast<size_t>(dim); }
};

struct WarpOptions {
    // Frames around the coarser path searched at the finest level: wider,
    // and a word of slow speech may jump across a long pause.
    int radius = 16;
    // The same at every coarser level: narrower, and on a narration of
    // some minutes the coarse path loses its way for whole stretches. The
    // coarse levels are small, so this costs little.
    int coarse_radius = 48;
    size_t full_cells = 1 << 20;  // at most this many cells: the whole matrix, no coarser level
};

// The lowest-cost monotone path from (0, 0) to (a.size() - 1, b.size() - 1),
// as (frame of a, frame of b) pairs in order. Both must hold a frame.
std::vector<std::pair<int, int>> warp(const Sequence& a, const Sequence& b, const WarpOptions& options = {});

}  // namespace clipweave::align
