// From what was seen to a framing per shot: the cuts, then for each shot
// one still window holding every subject, or a smooth path, or the blur
// framing where no window of the output's shape can hold them.
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

// Zero-phase Gaussian smoothing. Past its ends the path goes on at its
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

// At most this many sweeps of the path's fitting (each costs a few
// operations a sample; it usually settles in far fewer).
constexpr int kSweeps = 5000;

// The path near `target` that bends least while every point stays in its
// room: least squares with `stiffness` times the squared second
// differences, each point held in [lo, hi]. Solved by coordinate descent,
// each point moved to its best place given its neighbours and then into its
// room (this converges for a problem of this kind), from `path`. Where a
// subject walks to the frame's edge, the window so slows down ahead of it
// instead of stopping dead when the edge is reached.
std::vector<double> smoothest_within(const std::vector<double>& target, const std::vector<Span>& room,
                                     std::vector<double> path, double stiffness) {
    const int n = static_cast<int>(path.size());
    if (n < 3) return path;
    double* p = path.data();
    const double* t = target.data();
    const Span* r = room.data();
    // The second difference centred on k, where it exists.
    auto bend = [&](int k) { return p[k - 1] - 2 * p[k] + p[k + 1]; };
    for (int sweep = 0; sweep < kSweeps; ++sweep) {
        double moved = 0;
        for (int i = 0; i < n; ++i) {
            // Gradient and curvature of the cost along point i alone.
            double gradient = p[i] - t[i], curvature = 1;
            for (int k = std::max(1, i - 1); k <= std::min(n - 2, i + 1); ++k) {
                const double c = k == i ? -2.0 : 1.0;
                gradient += stiffness * c * bend(k);
                curvature += stiffness * c * c;
            }
            const double next = std::clamp(p[i] - gradient / curvature, r[i].lo, r[i].hi);
            moved = std::max(moved, std::fabs(next - p[i]));
            p[i] = next;
        }
        if (moved < 1e-7) break;
    }
    return path;
}

std::string percent(double share) { return std::to_string(static_cast<int>(std::lround(share * 100))) + " %"; }

// A close-up face wider than the window is still followed where the
// window holds this share of its box (the box runs from cheek to cheek).
constexpr double kCloseUp = 0.7;
// Seconds of the path's smoothing (the Gaussian's sigma): no jitter from
// the detector's wobble, yet a turn of the subject is followed.
constexpr double kSmoothing = 0.5;
// Seconds over which the path's bends weigh as much as its distance from
// the subjects (the stiffness is (kBend x samples a second)^4): a steady pan
// is followed without lag, a wobble is not.
constexpr double kBend = 0.75;

// share: the window's share of the frame along its free axis; window: its shape's name.
Shot frame_shot(const std::vector<Seen>& seen, double start, double end, double share, double presence,
                const char* window) {
    Shot shot;
    shot.start = start;
    shot.end = end;
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
    // Where the window's centre may stand for each sample to hold its subjects whole.
    std::vector<Span> room(seen.size(), Span{half, 1 - half});
    for (size_t i = 0; i < seen.size(); ++i) {
        if (!seen[i].any) continue;
        const Span core = seen[i].core;
        if (core.hi - core.lo > share + 1e-9) {
            if (seen[i].boxes > 1 || share < kCloseUp * (core.hi - core.lo)) {
                shot.reason = std::string("its subjects do not fit one ") + window + " window";
                return shot;
            }
            // One face in close-up: the window stands on its middle.
            const double middle = std::clamp((core.lo + core.hi) / 2, half, 1 - half);
            room[i] = {middle, middle};
            continue;
        }
        Span span = seen[i].span;
        if (span.hi - span.lo > share) {
            // The margins cut down evenly to what fits.
            const double spare = (share - (core.hi - core.lo)) / 2;
            span = {std::max(span.lo, core.lo - spare), std::min(span.hi, core.hi + spare)};
        }
        room[i].lo = std::max(half, span.hi - half);
        room[i].hi = std::min(1 - half, span.lo + half);
        if (room[i].lo > room[i].hi) room[i].lo = room[i].hi = std::clamp((room[i].lo + room[i].hi) / 2, half, 1 - half);
    }
    Span common{half, 1 - half};
    std::vector<double> centres;
    for (size_t i = 0; i < seen.size(); ++i) {
        common.lo = std::max(common.lo, room[i].lo);
        common.hi = std::min(common.hi, room[i].hi);
        if (seen[i].any) centres.push_back((seen[i].core.lo + seen[i].core.hi) / 2);
    }
    if (common.lo <= common.hi) {
        // One window holds everyone the whole shot: the camera stands still.
        std::nth_element(centres.begin(), centres.begin() + static_cast<long>(centres.size() / 2), centres.end());
        shot.kind = Kind::Still;
        shot.reason = "still";
        shot.path = {{start, std::clamp(centres[centres.size() / 2], common.lo, common.hi)}};
        return shot;
    }
    // The subjects' centres, held across the samples that saw nothing.
    std::vector<double> target(seen.size());
    std::vector<size_t> known;
    for (size_t i = 0; i < seen.size(); ++i)
        if (seen[i].any) known.push_back(i);
    for (size_t i = 0, k = 0; i < seen.size(); ++i) {
        while (k + 1 < known.size() && known[k + 1] <= i) ++k;
        const size_t a = known[k];
        const double ca = std::clamp((seen[a].core.lo + seen[a].core.hi) / 2, room[a].lo, room[a].hi);
        if (i <= a || k + 1 >= known.size()) {
            target[i] = ca;
            continue;
        }
        const size_t b = known[k + 1];
        const double cb = std::clamp((seen[b].core.lo + seen[b].core.hi) / 2, room[b].lo, room[b].hi);
        target[i] = ca + (cb - ca) * static_cast<double>(i - a) / static_cast<double>(b - a);
    }
    const double rate = seen.size() > 1 ? (seen.size() - 1) / std::max(1e-6, seen.back().t - seen.front().t) : 1;
    std::vector<double> path = smooth(target, kSmoothing * rate);
    for (size_t i = 0; i < path.size(); ++i) path[i] = std::clamp(path[i], room[i].lo, room[i].hi);
    path = smoothest_within(target, room, std::move(path), std::pow(kBend * rate, 4));
    shot.kind = Kind::Track;
    shot.reason = "tracking";
    // Before the first sample and after the last, on at the path's pace there.
    auto onward = [&](size_t from, size_t to, double t) {
        const double dt = seen[to].t - seen[from].t;
        const double v = dt > 0 ? (path[to] - path[from]) / dt : 0;
        return std::clamp(path[to] + v * (t - seen[to].t), half, 1 - half);
    };
    const size_t n = seen.size();
    shot.path.push_back({start, n > 1 ? onward(1, 0, start) : path.front()});
    for (size_t i = 0; i < n; ++i)
        if (seen[i].t > start && seen[i].t < end) shot.path.push_back({seen[i].t, path[i]});
    shot.path.push_back({end, n > 1 ? onward(n - 2, n - 1, end) : path.back()});
    return shot;
}

// Room left around a subject (by plan, below), as a share of its own
// width: a face cascade's box runs from eye to eye, the cheeks and hair lie
// outside it. Less is kept where the whole of it does not fit.
constexpr double kFaceMargin = 0.45;
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
            shots.push_back(none);
            continue;
        }
        shots.push_back(frame_shot(seen, start, end, share, f.presence, f.window.name));
    }
    if (shots.empty()) shots.push_back({0, f.duration, Kind::Blur, "no frames", {}});
    shots.back().end = f.duration;
    return shots;
}

}  // namespace clipweave::follow
