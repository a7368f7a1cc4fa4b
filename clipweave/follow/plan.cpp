// From what was seen to a framing per shot: the cuts, then for each shot a
// camera that rests while its subjects stay in the window's comfortable
// middle and moves smoothly where they would leave it; a wider still window
// where they are wider than the output's shape allows; or the blur framing
// where they take nearly the whole picture or none is found.
#include <algorithm>
#include <cmath>
#include <numeric>
#include <string>

#include "follow.hpp"

namespace clipweave::follow {
namespace {

// Histogram distance (0: same colours, 1: none shared) that is a cut on its
// own, and how far above the recent frames' own change a cut must stand.
constexpr double kCutDistance = 0.35;
constexpr double kCutOverRecent = 4.0;
constexpr size_t kRecentFrames = 8;
// A picture's layout changing this much more than it did a frame before
// (mean difference of the grey copies, in percent, as ffmpeg's scene
// detector scores) is a cut, whatever its colours do.
constexpr double kLayoutScore = 9.0;

double distance(const std::vector<float>& a, const std::vector<float>& b) {
    if (a.size() != b.size() || a.empty()) return 1.0;
    const size_t bins = std::min(a.size(), static_cast<size_t>(kHistogramBins));
    double shared = 0, sum_a = 0, sum_b = 0;
    for (size_t i = 0; i < bins; ++i) {
        shared += std::sqrt(std::max(0.0, static_cast<double>(a[i]) * b[i]));
        sum_a += std::max(0.0f, a[i]);
        sum_b += std::max(0.0f, b[i]);
    }
    // Nothing to compare (a blank signature) is no cut.
    if (!(sum_a > 0) || !(sum_b > 0)) return 0.0;
    return std::clamp(1.0 - shared / std::sqrt(sum_a * sum_b), 0.0, 1.0);
}

// Mean difference of two frames' grey copies, in percent; 0 without them.
double layout_change(const std::vector<float>& a, const std::vector<float>& b) {
    const size_t n = static_cast<size_t>(kLayoutWidth) * kLayoutHeight, from = kHistogramBins;
    if (a.size() != from + n || b.size() != from + n) return 0.0;
    double sum = 0;
    for (size_t i = from; i < from + n; ++i) sum += std::fabs(static_cast<double>(a[i]) - b[i]);
    return 100.0 * sum / static_cast<double>(n);
}

struct Span {
    double lo = 0, hi = 1;
};

// The subjects of one sample along the axis, margins included.
struct Seen {
    double t = 0;
    bool any = false;
    int boxes = 0;
    Span span;  // with the margins
    Span core;  // the boxes alone
};

// A box kept only where the samples beside it see something at about the
// same place: a detector's one-off mistake does not move the window.
std::vector<std::vector<Box>> steady(const std::vector<std::vector<Box>>& found) {
    if (found.size() < 3) return found;
    std::vector<std::vector<Box>> kept(found.size());
    for (size_t i = 0; i < found.size(); ++i)
        for (const Box& b : found[i]) {
            bool echoed = false;
            for (size_t j = i >= 2 ? i - 2 : 0; j <= std::min(found.size() - 1, i + 2) && !echoed; ++j) {
                if (j == i) continue;
                for (const Box& o : found[j]) {
                    const double dx = (b.x + b.w / 2) - (o.x + o.w / 2), dy = (b.y + b.h / 2) - (o.y + o.h / 2);
                    const double size = std::max(b.w, o.w) + std::max(b.h, o.h);
                    if (o.face == b.face && std::hypot(dx, dy) < size && o.w < 2.5 * b.w && b.w < 2.5 * o.w) {
                        echoed = true;
                        break;
                    }
                }
            }
            if (echoed) kept[i].push_back(b);
        }
    return kept;
}

// A main subject: seen in this share of a shot's samples (or as often as
// the most seen), and this large beside the largest such.
constexpr double kSubjectPresence = 0.25;
constexpr double kSubjectSize = 0.7;

// The shot's main subjects, of the kind in use (faces, else people): each
// box is joined to the track of boxes before it at about its place and
// size; kept are the tracks seen in a good share of the samples and about
// as large as the largest of them. A face in the background, or a
// detector's repeated mistake on a hand, does not pull the window away
// from the face the shot is about.
std::vector<std::vector<Box>> main_subjects(const std::vector<std::vector<Box>>& found, bool faces) {
    struct Track {
        Box last;
        size_t count = 0;
        std::vector<double> sizes;
    };
    std::vector<Track> tracks;
    std::vector<std::vector<int>> owner(found.size());
    for (size_t i = 0; i < found.size(); ++i)
        for (const Box& b : found[i]) {
            int joined = -1;
            if (b.face == faces) {
                double best = 1e9;
                for (size_t t = 0; t < tracks.size(); ++t) {
                    const Box& o = tracks[t].last;
                    const double d = std::hypot((b.x + b.w / 2) - (o.x + o.w / 2), (b.y + b.h / 2) - (o.y + o.h / 2));
                    if (d < std::max(b.w, o.w) && o.w < 2 * b.w && b.w < 2 * o.w && d < best) {
                        best = d;
                        joined = static_cast<int>(t);
                    }
                }
                if (joined < 0) {
                    joined = static_cast<int>(tracks.size());
                    tracks.emplace_back();
                }
                Track& t = tracks[static_cast<size_t>(joined)];
                t.last = b;
                ++t.count;
                t.sizes.push_back(std::sqrt(b.w * b.h));
            }
            owner[i].push_back(joined);
        }
    std::vector<double> size(tracks.size(), 0);
    size_t most = 0;
    for (size_t t = 0; t < tracks.size(); ++t) {
        std::vector<double>& v = tracks[t].sizes;
        std::nth_element(v.begin(), v.begin() + static_cast<long>(v.size() / 2), v.end());
        size[t] = v[v.size() / 2];
        most = std::max(most, tracks[t].count);
    }
    const double often = std::min(static_cast<double>(most), kSubjectPresence * static_cast<double>(found.size()));
    double largest = 0;
    for (size_t t = 0; t < tracks.size(); ++t)
        if (tracks[t].count >= often) largest = std::max(largest, size[t]);
    std::vector<std::vector<Box>> kept(found.size());
    for (size_t i = 0; i < found.size(); ++i)
        for (size_t j = 0; j < found[i].size(); ++j) {
            const int t = owner[i][j];
            if (t >= 0 && tracks[static_cast<size_t>(t)].count >= often && size[static_cast<size_t>(t)] >= kSubjectSize * largest)
                kept[i].push_back(found[i][j]);
        }
    return kept;
}

// Zero-phase Gaussian smoothing. Past its ends the values go on at their
// pace there (point reflection), so a subject still moving at a cut is not
// left behind by a window slowing down for nothing.
std::vector<double> smooth(const std::vector<double>& v, double sigma) {
    const int n = static_cast<int>(v.size());
    if (n < 3 || sigma <= 0) return v;
    const int reach = static_cast<int>(std::ceil(3 * sigma));
    std::vector<double> out(v.size());
    auto at = [&](int i) {
        if (i < 0) return 2 * v.front() - v[static_cast<size_t>(std::min(-i, n - 1))];
        if (i >= n) return 2 * v.back() - v[static_cast<size_t>(std::max(2 * (n - 1) - i, 0))];
        return v[static_cast<size_t>(i)];
    };
    for (int i = 0; i < n; ++i) {
        double sum = 0, weight = 0;
        for (int k = -reach; k <= reach; ++k) {
            const double w = std::exp(-0.5 * k * k / (sigma * sigma));
            sum += w * at(i + k);
            weight += w;
        }
        out[static_cast<size_t>(i)] = sum / weight;
    }
    return out;
}

// The mean of v over `width` values centred on each (a box), past the ends
// going on at the pace there (point reflection), held within [lo, hi].
std::vector<double> box(const std::vector<double>& v, int width, double lo, double hi) {
    const int n = static_cast<int>(v.size()), half = width / 2;
    if (n < 2 || width < 2) return v;
    std::vector<double> padded;
    padded.reserve(static_cast<size_t>(n + 2 * half + 1));
    auto at = [&](int i) {
        double x = v[static_cast<size_t>(std::clamp(i, 0, n - 1))];
        if (i < 0) x = 2 * v.front() - v[static_cast<size_t>(std::min(-i, n - 1))];
        if (i >= n) x = 2 * v.back() - v[static_cast<size_t>(std::max(2 * (n - 1) - i, 0))];
        return i >= 0 && i < n ? std::clamp(x, lo, hi) : x;
    };
    for (int i = -half; i < n + half + 1; ++i) padded.push_back(at(i));
    // Running sums over the odd window 2 * half + 1.
    std::vector<double> out(v.size());
    double sum = 0;
    for (int i = 0; i < 2 * half + 1; ++i) sum += padded[static_cast<size_t>(i)];
    for (int i = 0; i < n; ++i) {
        out[static_cast<size_t>(i)] = sum / (2 * half + 1);
        sum += padded[static_cast<size_t>(i + 2 * half + 1)] - padded[static_cast<size_t>(i)];
    }
    return out;
}

std::string percent(double share) { return std::to_string(static_cast<int>(std::lround(share * 100))) + " %"; }

// The camera. The subject's centre may stray this share of the window's
// width from the window's centre before the window moves (the window's
// comfortable middle), and the window comes to rest again where the subject
// holds within kSettle of one place for kSettleTime seconds: the two
// thresholds are the hysteresis that keeps it from flipping between
// resting and moving.
constexpr double kComfort = 0.18;
constexpr double kSettle = 0.06;
constexpr double kSettleTime = 1.0;
// Seconds over which a move takes over the subject's offset in the window
// when it starts, and gives the next rest's when it ends.
constexpr double kBlend = 1.0;
// Seconds of the subject's centre's smoothing (the Gaussian's sigma): the
// detector's wobble is not followed.
constexpr double kSmoothing = 0.25;
// Seconds of a move's first easing (the box each frame's window is the
// mean of, applied twice); longer where the limit below needs it.
constexpr double kEase = 0.25;
// At most this change of the window's speed from one frame to the next, in
// the output's pixels per frame per frame (at the analysed rate, speed 1).
// The path is eased to half of it, so that making it stop for a frame
// where it turns back stays within it.
constexpr double kMaxAcceleration = 1.0;
// A window of subjects wider than the output's shape allows may be wider,
// up to this share of the frame; beyond that the whole picture is shown.
constexpr double kWidest = 0.8;

struct Rest {
    size_t first = 0, last = 0;  // samples
    double at = 0.5;
};

// Where the window rests, from the subjects' centres and the room each
// sample leaves (room: for them whole with their margins; keep: with half
// their margins): a rest starts where they hold within kSettle (of the
// window's width) of one place for kSettleTime, or to the shot's end; it
// lasts while one place keeps them within kComfort of it and whole, with
// at least half their margins.
std::vector<Rest> rests_of(const std::vector<double>& t, const std::vector<double>& centre,
                           const std::vector<Span>& room, const std::vector<Span>& keep, double share) {
    const size_t n = centre.size();
    const double settle = kSettle * share, comfort = kComfort * share;
    std::vector<Rest> rests;
    // One place that holds the whole shot: the camera stands.
    Span whole{0, 1};
    for (size_t k = 0; k < n; ++k)
        whole = {std::max({whole.lo, centre[k] - comfort, keep[k].lo}), std::min({whole.hi, centre[k] + comfort, keep[k].hi})};
    if (n > 0 && whole.lo <= whole.hi) {
        std::vector<double> held(centre);
        std::nth_element(held.begin(), held.begin() + static_cast<long>(n / 2), held.end());
        return {{0, n - 1, std::clamp(held[n / 2], whole.lo, whole.hi)}};
    }
    for (size_t i = 0; i < n;) {
        Span common{0, 1};
        size_t j = i;
        for (; j < n; ++j) {
            const Span next{std::max({common.lo, centre[j] - settle, room[j].lo}),
                            std::min({common.hi, centre[j] + settle, room[j].hi})};
            if (next.lo > next.hi) break;
            common = next;
        }
        // A shorter hold counts at the shot's end, not a moment's at the end of a walk.
        const double held_for = j > i ? t[j - 1] - t[i] : -1;
        if (j == i || held_for < (j < n ? kSettleTime : i == 0 ? 0.0 : kSettleTime / 2)) {
            ++i;
            continue;
        }
        // Then it holds while one place keeps every sample's subjects whole
        // and within the comfortable middle, on from there and back over
        // the samples before it (the window waits there rather than moving
        // to where it will rest).
        Span place{0, 1};
        auto narrowed = [&](size_t k) {
            return Span{std::max({place.lo, centre[k] - comfort, keep[k].lo}),
                        std::min({place.hi, centre[k] + comfort, keep[k].hi})};
        };
        for (size_t k = i; k < j; ++k) place = narrowed(k);
        for (Span next; j < n && (next = narrowed(j)).lo <= next.hi; ++j) place = next;
        size_t from = i;
        for (Span next; from > (rests.empty() ? 0 : rests.back().last + 1) && (next = narrowed(from - 1)).lo <= next.hi;
             --from)
            place = next;
        std::vector<double> held(centre.begin() + static_cast<long>(from), centre.begin() + static_cast<long>(j));
        std::nth_element(held.begin(), held.begin() + static_cast<long>(held.size() / 2), held.end());
        const double at = std::clamp(held[held.size() / 2], place.lo, place.hi);
        rests.push_back({from, j - 1, at});
        i = j;
    }
    return rests;
}

// The window's wanted place at each sample: still at each rest; between
// rests with the subject, its offset in the window going over from the
// last rest's to the next one's.
std::vector<double> wanted(const std::vector<double>& t, const std::vector<double>& centre,
                           const std::vector<Span>& room, const std::vector<Rest>& rests) {
    const size_t n = centre.size();
    std::vector<double> w(n);
    size_t r = 0;
    for (size_t i = 0; i < n; ++i) {
        while (r < rests.size() && rests[r].last < i) ++r;
        if (r < rests.size() && rests[r].first <= i) {
            w[i] = rests[r].at;
            continue;
        }
        double offset = 0;
        if (r > 0) {  // after a rest
            const Rest& a = rests[r - 1];
            offset += (a.at - centre[a.last]) * std::max(0.0, 1 - (t[i] - t[a.last]) / kBlend);
        }
        if (r < rests.size()) {  // before one
            const Rest& b = rests[r];
            offset += (b.at - centre[b.first]) * std::max(0.0, 1 - (t[b.first] - t[i]) / kBlend);
        }
        w[i] = std::clamp(centre[i] + offset, room[i].lo, room[i].hi);
    }
    return w;
}

// The largest change of speed of a path, per frame per frame.
double acceleration(const std::vector<double>& p) {
    double most = 0;
    for (size_t i = 2; i < p.size(); ++i) most = std::max(most, std::fabs(p[i] - 2 * p[i - 1] + p[i - 2]));
    return most;
}

// Where the window's speed would change sign from one frame to the next, it
// stands still for that frame instead; the next frame makes up the step.
void stop_before_turning(std::vector<double>& p) {
    std::vector<double> v(p.size() > 1 ? p.size() - 1 : 0);
    for (size_t i = 0; i < v.size(); ++i) v[i] = p[i + 1] - p[i];
    for (size_t i = 0; i + 1 < v.size(); ++i)
        if ((v[i] > 0 && v[i + 1] < 0) || (v[i] < 0 && v[i + 1] > 0)) {
            v[i + 1] += v[i];
            v[i] = 0;
        }
    for (size_t i = 0; i < v.size(); ++i) p[i + 1] = p[i] + v[i];
}

// The window's place at every frame of a shot from its wanted places at the
// samples: eased (a box of frames, twice) as much as the limit on its
// acceleration needs, stopped for a frame where it turns back. px: output
// pixels per unit of the path. Empty where no easing keeps to the limit.
std::vector<double> frames_path(const std::vector<double>& frame_t, const std::vector<double>& t,
                                const std::vector<double>& want, double rate, double px, double half) {
    std::vector<double> w(frame_t.size());
    for (size_t f = 0, k = 0; f < frame_t.size(); ++f) {
        while (k + 1 < t.size() && t[k + 1] <= frame_t[f]) ++k;
        const size_t b = std::min(k + 1, t.size() - 1), a = b == k ? (k > 0 ? k - 1 : k) : k;
        const double span = t[b] - t[a];
        const double v = span > 0 ? want[a] + (want[b] - want[a]) * (frame_t[f] - t[a]) / span : want[k];
        w[f] = std::clamp(v, half, 1 - half);
    }
    const double limit = kMaxAcceleration / px;
    int width = std::max(3, static_cast<int>(std::lround(kEase * rate)) | 1);
    for (int tries = 0; tries < 12; ++tries) {
        std::vector<double> p = box(box(w, width, half, 1 - half), width, half, 1 - half);
        const double eased = acceleration(p);
        stop_before_turning(p);
        for (double& x : p) x = std::clamp(x, half, 1 - half);
        if (acceleration(p) <= limit) return p;
        // A box twice as wide halves the acceleration: aim at half the limit.
        width = std::max(width + 2, static_cast<int>(std::ceil(width * eased / (0.5 * limit))) | 1);
        if (width > 4 * static_cast<int>(w.size()) + 3) break;
    }
    return {};
}

// share: the window's share of the frame along its free axis; px: output
// pixels per unit of that axis; window: its shape's name; frame_t: the
// times of the shot's frames.
Shot frame_shot(const std::vector<Seen>& seen, const std::vector<double>& frame_t, double start, double end,
                double share, double px, double presence, const char* window) {
    Shot shot;
    shot.start = start;
    shot.end = end;
    // In a short of cropped shots, one whose subject is not followed shows
    // the middle of the picture.
    shot.path = {{start, 0.5}};
    size_t with = 0;
    for (const Seen& s : seen) with += s.any;
    if (with == 0) {
        shot.reason = "no face or person found";
        return shot;
    }
    const double seen_share = static_cast<double>(with) / static_cast<double>(seen.size());
    if (seen_share < presence) {
        shot.reason = "a subject seen in only " + percent(seen_share) + " of the shot";
        return shot;
    }
    const double half = share / 2;
    const size_t n = seen.size();
    // The subjects' centres and their extent, held across the samples that saw nothing.
    std::vector<size_t> known;
    for (size_t i = 0; i < n; ++i)
        if (seen[i].any) known.push_back(i);
    std::vector<double> t(n), centre(n), lo(n), hi(n), core_lo(n), core_hi(n);
    for (size_t i = 0, k = 0; i < n; ++i) {
        while (k + 1 < known.size() && known[k + 1] <= i) ++k;
        const size_t a = known[k];
        const size_t b = i > a && k + 1 < known.size() ? known[k + 1] : a;
        const double u = b > a ? static_cast<double>(i - a) / static_cast<double>(b - a) : 0.0;
        auto mix = [&](double x, double y) { return x + (y - x) * u; };
        t[i] = seen[i].t;
        lo[i] = mix(seen[a].span.lo, seen[b].span.lo);
        hi[i] = mix(seen[a].span.hi, seen[b].span.hi);
        core_lo[i] = mix(seen[a].core.lo, seen[b].core.lo);
        core_hi[i] = mix(seen[a].core.hi, seen[b].core.hi);
    }
    const double rate = n > 1 ? (n - 1) / std::max(1e-6, t.back() - t.front()) : 1;
    lo = smooth(lo, kSmoothing * rate);
    hi = smooth(hi, kSmoothing * rate);
    core_lo = smooth(core_lo, kSmoothing * rate);
    core_hi = smooth(core_hi, kSmoothing * rate);
    // Subjects (with their margins) wider than the window at any time: the
    // shot is framed wider, still, on all the room they take.
    double widest = 0, all_lo = 1, all_hi = 0;
    for (size_t i = 0; i < n; ++i) {
        widest = std::max(widest, core_hi[i] - core_lo[i]);
        all_lo = std::min(all_lo, lo[i]);
        all_hi = std::max(all_hi, hi[i]);
        centre[i] = (core_lo[i] + core_hi[i]) / 2;
    }
    bool fits = true;
    for (size_t i = 0; i < n; ++i) fits = fits && hi[i] - lo[i] <= share;
    if (!fits) {
        const double width = std::max(share, all_hi - all_lo);
        if (width > kWidest) {
            // The whole picture, in a short of cropped shots too.
            shot.reason = std::string("its subjects do not fit one ") + window + " window";
            shot.width = 1;
            return shot;
        }
        shot.kind = Kind::Wide;
        shot.reason = "wider than the window";
        shot.width = width;
        shot.path = {{start, std::clamp((all_lo + all_hi) / 2, width / 2, 1 - width / 2)}};
        return shot;
    }
    // Where the window's centre may stand for each sample to hold its
    // subjects whole, margins and all (room), or half their margins (keep).
    auto room_for = [&](double a, double b) {
        Span r{std::max(half, b - half), std::min(1 - half, a + half)};
        if (r.lo > r.hi) r.lo = r.hi = std::clamp((r.lo + r.hi) / 2, half, 1 - half);
        return r;
    };
    std::vector<Span> room(n), keep(n);
    for (size_t i = 0; i < n; ++i) {
        room[i] = room_for(lo[i], hi[i]);
        keep[i] = room_for((lo[i] + core_lo[i]) / 2, (hi[i] + core_hi[i]) / 2);
    }
    const std::vector<Rest> rests = rests_of(t, centre, room, keep, share);
    if (rests.size() == 1 && rests[0].first == 0 && rests[0].last == n - 1) {
        // The subjects hold within the window's comfortable middle: the camera stands.
        shot.kind = Kind::Still;
        shot.reason = "still";
        shot.path = {{start, rests[0].at}};
        return shot;
    }
    const std::vector<double> want = wanted(t, centre, room, rests);
    const double frame_rate = frame_t.size() > 1 ? (frame_t.size() - 1) / std::max(1e-6, frame_t.back() - frame_t.front()) : rate;
    const std::vector<double> p = frames_path(frame_t, t, want, frame_rate, px, half);
    if (p.empty()) {
        std::vector<double> middle(centre);
        std::nth_element(middle.begin(), middle.begin() + static_cast<long>(n / 2), middle.end());
        shot.kind = Kind::Still;
        shot.reason = "still";
        shot.path = {{start, std::clamp(middle[n / 2], half, 1 - half)}};
        return shot;
    }
    // A key where the window's speed changes; the render joins them by straight lines.
    shot.kind = Kind::Track;
    shot.reason = "tracking";
    shot.path.clear();
    const size_t m = p.size();
    for (size_t f = 0; f < m; ++f) {
        const bool bend = f > 0 && f + 1 < m && std::fabs(p[f + 1] - 2 * p[f] + p[f - 1]) > 1e-9;
        if (f == 0 || f + 1 == m || bend) shot.path.push_back({frame_t[f], p[f]});
    }
    if (m > 1 && frame_t[m - 1] < end) {
        const double v = (p[m - 1] - p[m - 2]) / (frame_t[m - 1] - frame_t[m - 2]);
        shot.path.push_back({end, std::clamp(p[m - 1] + v * (end - frame_t[m - 1]), half, 1 - half)});
    }
    double low = 1, high = 0;
    for (const Key& k : shot.path) {
        low = std::min(low, k.centre);
        high = std::max(high, k.centre);
    }
    if ((high - low) * px < 0.5) {  // moves by less than half an output pixel
        shot.kind = Kind::Still;
        shot.reason = "still";
        shot.path = {{start, p.front()}};
    }
    return shot;
}

// Room left around a subject (by plan, below), as a share of its own
// width: the face model's box runs from brow to chin and cheek to cheek,
// the hair and ears lie outside it. Less is kept where the whole of it
// does not fit.
constexpr double kFaceMargin = 0.25;
constexpr double kPersonMargin = 0.1;

}  // namespace

double window_share(double aspect, double window) {
    if (!(aspect > 0) || !std::isfinite(aspect)) throw Refused("the frame's shape is unknown");
    if (!(window > 0) || !std::isfinite(window)) throw Refused("the window's shape is unknown");
    return aspect > window ? window / aspect : aspect / window;
}

bool moves_across(double aspect, double window) { return aspect > window; }

std::vector<size_t> cuts(const std::vector<std::vector<float>>& signatures) {
    std::vector<size_t> out;
    std::vector<double> recent;
    double before = 0;  // the layout's change a frame before
    for (size_t i = 1; i < signatures.size(); ++i) {
        const double d = distance(signatures[i - 1], signatures[i]);
        const double moved = layout_change(signatures[i - 1], signatures[i]);
        // Steady motion changes the layout every frame, a cut once.
        const double score = i == 1 ? 0.0 : std::min(moved, std::fabs(moved - before));
        before = moved;
        double usual = 0;
        for (double r : recent) usual += r;
        usual = recent.empty() ? 0 : usual / static_cast<double>(recent.size());
        if ((d > kCutDistance && d > kCutOverRecent * usual) || score > kLayoutScore) {
            out.push_back(i);
            recent.clear();  // a new shot has its own pace of change
            continue;
        }
        recent.push_back(d);
        if (recent.size() > kRecentFrames) recent.erase(recent.begin());
    }
    return out;
}

std::vector<Shot> plan(const Frames& f) {
    if (f.times.size() != f.signatures.size()) throw Refused("every frame needs its time and signature");
    if (f.sampled.size() != f.found.size()) throw Refused("every sampled frame needs its findings");
    for (size_t i = 0; i < f.sampled.size(); ++i)
        if (f.sampled[i] < 0 || static_cast<size_t>(f.sampled[i]) >= f.times.size() ||
            (i > 0 && f.sampled[i] <= f.sampled[i - 1]))
            throw Refused("sampled frames must be ascending frame indices");
    if (!(f.duration > 0) || !std::isfinite(f.duration)) throw Refused("the range has no duration");
    if (!(f.presence >= 0 && f.presence <= 1)) throw Refused("presence must be from 0 to 1");
    const double share = window_share(f.aspect, f.window.aspect());
    const bool across = moves_across(f.aspect, f.window.aspect());
    // Output pixels per unit of the free axis (the window's share of it fills the output).
    const double px = (across ? f.window.width : f.window.height) / share;

    std::vector<size_t> starts{0};
    for (size_t c : cuts(f.signatures)) starts.push_back(c);
    std::vector<Shot> shots;
    size_t s = 0;
    for (size_t k = 0; k < starts.size(); ++k) {
        const size_t first = starts[k];
        const size_t last = k + 1 < starts.size() ? starts[k + 1] : f.times.size();
        const double start = f.times.empty() ? 0 : std::clamp(f.times[first], 0.0, f.duration);
        const double end = k + 1 < starts.size() ? f.times[last] : f.duration;
        if (k == 0 && f.times.empty()) break;
        std::vector<std::vector<Box>> found;
        std::vector<double> times;
        for (; s < f.sampled.size() && static_cast<size_t>(f.sampled[s]) < last; ++s) {
            found.push_back(f.found[s]);
            times.push_back(f.times[static_cast<size_t>(f.sampled[s])]);
        }
        found = steady(found);
        // Faces where there are any; people only in a shot without a face.
        bool faces = false;
        for (const auto& boxes : found)
            for (const Box& b : boxes) faces = faces || b.face;
        found = main_subjects(found, faces);
        std::vector<Seen> seen(found.size());
        for (size_t i = 0; i < found.size(); ++i) {
            seen[i].t = times[i];
            Span span{1, 0}, core{1, 0};
            for (const Box& b : found[i]) {
                if (b.face != faces) continue;
                const double lo = across ? b.x : b.y, size = across ? b.w : b.h;
                const double margin = (b.face ? kFaceMargin : kPersonMargin) * (across ? b.w : b.h * 0.5);
                span.lo = std::min(span.lo, std::max(0.0, lo - margin));
                span.hi = std::max(span.hi, std::min(1.0, lo + size + margin));
                core.lo = std::min(core.lo, std::max(0.0, lo));
                core.hi = std::max(core.hi, std::min(1.0, lo + size));
                seen[i].any = true;
                ++seen[i].boxes;
            }
            seen[i].span = span;
            seen[i].core = core;
        }
        if (end - start <= 0) continue;
        if (seen.empty()) {
            Shot none;
            none.start = start;
            none.end = end;
            none.reason = "too short to look at";
            none.path = {{start, 0.5}};
            shots.push_back(none);
            continue;
        }
        const std::vector<double> frame_t(f.times.begin() + static_cast<long>(first), f.times.begin() + static_cast<long>(last));
        shots.push_back(frame_shot(seen, frame_t, start, end, share, px, f.presence, f.window.name));
    }
    if (shots.empty()) shots.push_back({0, f.duration, Kind::Blur, "no frames", {{0, 0.5}}, 0});
    shots.back().end = f.duration;
    return shots;
}

}  // namespace clipweave::follow
