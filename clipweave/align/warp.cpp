#include "warp.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

namespace clipweave::align {
namespace {

// A frame with sound against a silent one costs this much on top.
constexpr float kSilenceMismatch = 1.5f;
// One frame of a pause that the other recording lacks: cheap where the
// other welcomes a pause, so that a pause of any length stretches there.
constexpr float kPauseStep = 0.15f;

constexpr double kUnreached = std::numeric_limits<double>::infinity();

float distance(const Sequence& a, size_t i, const Sequence& b, size_t j) {
    const float* x = a.row(i);
    const float* y = b.row(j);
    float sum = 0;
    for (int d = 0; d < a.dim; ++d) {
        const float diff = x[d] - y[d];
        sum += diff * diff;
    }
    const float spectral = std::sqrt(sum / static_cast<float>(a.dim));
    const float sa = a.silence[i], sb = b.silence[j];
    // Between two silences the spectra are those of noise: they say nothing.
    return (1 - sa * sb) * spectral + kSilenceMismatch * std::fabs(sa - sb);
}

// The cost of a step in which one recording advances alone onto a frame
// with silence `silent` (0..1).
float lone_step(float cost, float silent) { return cost * (1 - silent) + std::min(cost, kPauseStep) * silent; }

// Which columns (frames of b) each row (frame of a) may visit: [lo, hi].
struct Band {
    std::vector<int> lo, hi;
};

Sequence coarser(const Sequence& s) {
    Sequence out;
    out.dim = s.dim;
    const size_t n = (s.size() + 1) / 2;
    out.values.assign(n * static_cast<size_t>(s.dim), 0.0f);
    out.silence.assign(n, 0.0f);
    out.welcome.assign(n, 0.0f);
    for (size_t k = 0; k < n; ++k) {
        const size_t first = 2 * k, second = std::min(2 * k + 1, s.size() - 1);
        for (int d = 0; d < s.dim; ++d) out.values[k * s.dim + d] = 0.5f * (s.row(first)[d] + s.row(second)[d]);
        out.silence[k] = 0.5f * (s.silence[first] + s.silence[second]);
        out.welcome[k] = std::max(s.welcome[first], s.welcome[second]);
    }
    return out;
}

// The cells of a coarse path at twice the resolution, widened by radius.
Band widen(const std::vector<std::pair<int, int>>& coarse, size_t rows, size_t columns, int radius) {
    const int last_row = static_cast<int>(rows) - 1, last_column = static_cast<int>(columns) - 1;
    Band path{std::vector<int>(rows, last_column), std::vector<int>(rows, 0)};
    for (const auto& [i, j] : coarse)
        for (int r = 2 * i; r <= std::min(2 * i + 1, last_row); ++r) {
            path.lo[r] = std::min(path.lo[r], 2 * j);
            path.hi[r] = std::max(path.hi[r], std::min(2 * j + 1, last_column));
        }
    // The path is monotone, so the extremes within +-radius rows are at the ends.
    Band band{std::vector<int>(rows), std::vector<int>(rows)};
    for (int r = 0; r <= last_row; ++r) {
        band.lo[r] = std::max(0, path.lo[std::max(0, r - radius)] - radius);
        band.hi[r] = std::min(last_column, path.hi[std::min(last_row, r + radius)] + radius);
    }
    band.lo[0] = 0;
    band.hi[last_row] = last_column;
    return band;
}

std::vector<std::pair<int, int>> warp_within(const Sequence& a, const Sequence& b, const Band& band) {
    const size_t rows = a.size();
    std::vector<size_t> offset(rows + 1, 0);
    for (size_t i = 0; i < rows; ++i) offset[i + 1] = offset[i] + static_cast<size_t>(band.hi[i] - band.lo[i] + 1);
    std::vector<double> total(offset[rows], kUnreached);
    // 0: from (i-1, j-1), 1: from (i-1, j), 2: from (i, j-1).
    std::vector<uint8_t> from(offset[rows], 0);
    auto at = [&](size_t i, int j) -> double {
        if (j < band.lo[i] || j > band.hi[i]) return kUnreached;
        return total[offset[i] + static_cast<size_t>(j - band.lo[i])];
    };
    for (size_t i = 0; i < rows; ++i) {
        for (int j = band.lo[i]; j <= band.hi[i]; ++j) {
            const float cost = distance(a, i, b, static_cast<size_t>(j));
            const size_t cell = offset[i] + static_cast<size_t>(j - band.lo[i]);
            if (i == 0 && j == 0) {
                total[cell] = cost;
                continue;
            }
            double best = kUnreached;
            uint8_t step = 0;
            if (i > 0 && j > 0) best = at(i - 1, j - 1) + cost;
            if (i > 0) {
                const double v = at(i - 1, j) + lone_step(cost, a.silence[i] * b.welcome[static_cast<size_t>(j)]);
                if (v < best) best = v, step = 1;
            }
            if (j > band.lo[i]) {
                const double v = total[cell - 1] + lone_step(cost, b.silence[static_cast<size_t>(j)] * a.welcome[i]);
                if (v < best) best = v, step = 2;
            }
            total[cell] = best;
            from[cell] = step;
        }
    }
    std::vector<std::pair<int, int>> path;
    int i = static_cast<int>(rows) - 1, j = static_cast<int>(b.size()) - 1;
    path.emplace_back(i, j);
    while (i > 0 || j > 0) {
        const uint8_t step = from[offset[i] + static_cast<size_t>(j - band.lo[i])];
        if (step == 0) --i, --j;
        else if (step == 1) --i;
        else --j;
        path.emplace_back(i, j);
    }
    std::reverse(path.begin(), path.end());
    return path;
}

}  // namespace

std::vector<std::pair<int, int>> warp(const Sequence& a, const Sequence& b, const WarpOptions& options) {
    const size_t rows = a.size(), columns = b.size();
    const size_t smallest = static_cast<size_t>(4 * options.radius);
    if (rows * columns <= options.full_cells || rows <= smallest || columns <= smallest) {
        Band all{std::vector<int>(rows, 0), std::vector<int>(rows, static_cast<int>(columns) - 1)};
        return warp_within(a, b, all);
    }
    WarpOptions below = options;
    below.radius = options.coarse_radius;
    const std::vector<std::pair<int, int>> coarse = warp(coarser(a), coarser(b), below);
    return warp_within(a, b, widen(coarse, rows, columns, options.radius));
}

}  // namespace clipweave::align
