#include "align.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "features.hpp"
#include "warp.hpp"

namespace clipweave::align {
namespace {

// The filterbank's top: what speech needs, below either recording's Nyquist.
constexpr double kTopHz = 7600;
// A pause of the target's own may lie this many frames from a word's edge.
constexpr size_t kJunctionFrames = 2;

// A frame's silence counts as a pause above this.
bool silent(const Frames& f, int i) { return f.silence[static_cast<size_t>(i)] > 0.5f; }

// The frames of f from first to last (inclusive) as a sequence.
Sequence slice(const Frames& f, int first, int last) {
    Sequence s;
    s.dim = f.dim;
    s.values.assign(f.values.begin() + static_cast<std::ptrdiff_t>(first) * f.dim,
                    f.values.begin() + static_cast<std::ptrdiff_t>(last + 1) * f.dim);
    s.silence.assign(f.silence.begin() + first, f.silence.begin() + last + 1);
    return s;
}

int first_sound(const Frames& f) {
    int i = 0;
    while (i < static_cast<int>(f.size()) - 1 && silent(f, i)) ++i;
    return i;
}

int last_sound(const Frames& f) {
    int i = static_cast<int>(f.size()) - 1;
    while (i > 0 && silent(f, i)) --i;
    return i;
}

int frame_at(double seconds) { return static_cast<int>(std::lround((seconds - kWindowSeconds / 2) / kHopSeconds)); }

// Boundaries move to the sharpest change of level within this many frames.
constexpr int kSnapFrames = 3;
// ... when the change is at least this steep (dB per frame).
constexpr float kSnapDb = 6;

// The frame within +-kSnapFrames of `near` (and within [lo, hi]) where the
// level rises most (rise) or falls most, if that change is steep; else near.
int snap(const Frames& f, int near, int lo, int hi, bool rise) {
    int best = near;
    float steepest = kSnapDb;
    for (int k = std::max(lo, near - kSnapFrames); k <= std::min(hi, near + kSnapFrames); ++k) {
        if (k < 1 || k >= static_cast<int>(f.size())) continue;
        const float change = f.level[static_cast<size_t>(k)] - f.level[static_cast<size_t>(k - 1)];
        // A rise is heard at the first loud frame; a fall ends at the last loud one.
        const float steep = rise ? change : -change;
        if (steep > steepest) steepest = steep, best = rise ? k : k - 1;
    }
    return best;
}

// The sample rates a recording may have.
constexpr int kMinRate = 4000;
constexpr int kMaxRate = 384000;

void check(const Audio& audio, const char* what) {
    if (audio.rate < kMinRate || audio.rate > kMaxRate)
        throw Refused(std::string(what) + " rate must be within 4000..384000 Hz, got " + std::to_string(audio.rate));
}

}  // namespace

std::vector<Span> spread(double reference_seconds, const std::vector<Span>& words, double target_seconds) {
    std::vector<Span> out;
    out.reserve(words.size());
    const double scale = reference_seconds > 0 ? target_seconds / reference_seconds : 0.0;
    for (const Span& w : words) {
        const double start = std::clamp(w.start * scale, 0.0, target_seconds);
        out.push_back({start, std::clamp(w.end * scale, start, target_seconds)});
    }
    return out;
}

std::vector<Span> align(const Audio& reference, const std::vector<Span>& words, const Audio& target) {
    check(reference, "reference");
    check(target, "target");
    for (const Span& w : words)
        if (!(std::isfinite(w.start) && std::isfinite(w.end) && w.start >= 0 && w.end >= w.start))
            throw Refused("each reference word must be a (start, end) pair with 0 <= start <= end");
    const double seconds = target.seconds();
    if (words.empty()) return {};
    if (target.count == 0) return std::vector<Span>(words.size());

    const double top = std::min(kTopHz, 0.45 * std::min(reference.rate, target.rate));
    const Frames ref = frames_of(reference, top);
    const Frames tgt = frames_of(target, top);
    if (!ref.has_sound || !tgt.has_sound) return spread(reference.seconds(), words, seconds);

    // Both span their speech: what lies outside it is silence of no word.
    const int ref_first = first_sound(ref), ref_last = last_sound(ref);
    const int tgt_first = first_sound(tgt), tgt_last = last_sound(tgt);
    Sequence a = slice(ref, ref_first, ref_last), b = slice(tgt, tgt_first, tgt_last);
    // The target's pauses belong between words or in the reference's own
    // pauses; the reference's pauses may lie anywhere in the target.
    a.welcome = a.silence;
    for (const Span& w : words)
        for (const double t : {w.start, w.end})
            for (int k = frame_at(t) - int{kJunctionFrames}; k <= frame_at(t) + int{kJunctionFrames}; ++k)
                if (k >= ref_first && k <= ref_last) a.welcome[static_cast<size_t>(k - ref_first)] = 1.0f;
    b.welcome.assign(b.size(), 1.0f);
    const auto path = warp(a, b);

    // For each frame of the reference, the first and last target frame it meets.
    const int rows = ref_last - ref_first + 1;
    std::vector<int> earliest(static_cast<size_t>(rows), -1), latest(static_cast<size_t>(rows), 0);
    for (const auto& [i, j] : path) {
        if (earliest[static_cast<size_t>(i)] < 0) earliest[static_cast<size_t>(i)] = j + tgt_first;
        latest[static_cast<size_t>(i)] = j + tgt_first;
    }
    auto row_of = [&](double t) { return std::clamp(frame_at(t), ref_first, ref_last) - ref_first; };

    std::vector<int> starts(words.size()), ends(words.size());
    for (size_t w = 0; w < words.size(); ++w) {
        const size_t first = static_cast<size_t>(row_of(words[w].start));
        const size_t last = static_cast<size_t>(row_of(words[w].end));
        int start = earliest[first];
        int end = std::max(start, latest[last]);
        // A pause of the target's own at the word's edge belongs outside it:
        // the word starts after the last silence its first frames meet, and
        // ends before the first silence its last frames meet.
        const size_t rows_left = static_cast<size_t>(rows) - 1;
        for (int j = std::min(latest[std::min(rows_left, first + kJunctionFrames)], end); j > start; --j)
            if (silent(tgt, j - 1)) {
                start = j;
                break;
            }
        for (int j = std::max(earliest[last >= kJunctionFrames ? last - kJunctionFrames : 0], start); j < end; ++j)
            if (silent(tgt, j + 1)) {
                end = j;
                break;
            }
        while (start < end && silent(tgt, start)) ++start;
        while (end > start && silent(tgt, end)) --end;
        starts[w] = snap(tgt, start, tgt_first, end, true);
        ends[w] = std::max(starts[w], snap(tgt, end, starts[w], tgt_last, false));
    }

    // A sound that starts at t first shows in the frame whose window ends
    // just after t, half a hop late on average; one that ends at t last
    // shows in the frame whose window starts just before it.
    std::vector<Span> out(words.size());
    const double onset = kWindowSeconds / 2 - kHopSeconds / 2;
    double floor = 0;
    for (size_t w = 0; w < words.size(); ++w) {
        const double start = std::clamp(frame_time(starts[w]) + onset, floor, seconds);
        floor = start;
        out[w] = {start, std::clamp(frame_time(ends[w]) - onset, start, seconds)};
    }
    // A word ends no later than the next starts.
    for (size_t w = 0; w + 1 < words.size(); ++w) out[w].end = std::max(out[w].start, std::min(out[w].end, out[w + 1].start));
    return out;
}

}  // namespace clipweave::align
