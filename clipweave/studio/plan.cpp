// Laying out the clips: where each starts in the source, how long it runs,
// how much of its narration is heard and where it lands in the output.
//
// A clip longer than its range never shows a moment another segment shows:
// it goes on into the source after its range, up to the next moment in use
// (or the picture's end), then back into the source before it, down to the
// previous one; what that room lacks is made up by slowing its picture.
// The segments' ranges are reserved first, so a clip never takes what the
// user asked another one to show.
#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "core.hpp"

namespace clipweave::studio {
namespace {

// Differences below this are rounding, not something worth a note.
constexpr double kTolerance = 0.0005;
// Seconds of the finished video: of a narration's own silence, what is kept
// before its first sound and after its last; and how long a clip over a
// silent source goes on after its narration. Between two narrations there,
// the silence is their sum, a pause of a breath.
constexpr double kLead = 0.05;
constexpr double kTrail = 0.10;
constexpr double kPause = 0.20;
// A picture slowed below this is seen to be slowed; the note says so.
constexpr double kNoticeablySlow = 0.75;

// Fixed-point text with exactly two decimals, for notes ("1.20").
std::string two_decimals(double v) {
    std::string t = number(v, 2);
    const auto dot = t.find('.');
    if (dot == std::string::npos) return t + ".00";
    while (t.size() - dot < 3) t += '0';
    return t;
}

std::string seconds_text(double v) { return two_decimals(v) + " s"; }

std::string segment_name(size_t i) { return "segment " + std::to_string(i + 1); }

void check_finite(double v, const std::string& what) {
    if (!std::isfinite(v)) throw Refused(what + " must be a finite number");
}

long long frame_at(double seconds, const Rational& rate) {
    return std::llround(seconds * static_cast<double>(rate.num) / static_cast<double>(rate.den));
}

// The narration as its clip plays it: its sound, with kLead before and
// kTrail after it (in seconds of the video, so at any speed), the rest of
// its silence skipped. Unknown sound leaves the file whole.
void trim(ClipPlan& c, double seconds, const Sound& sound, double speed) {
    c.narration = seconds;
    c.narration_skip = 0;
    if (!std::isfinite(sound.start) || !std::isfinite(sound.end) || sound.end <= sound.start) return;
    const double from = std::clamp(sound.start - kLead * speed, 0.0, seconds);
    const double to = std::clamp(sound.end + kTrail * speed, from, seconds);
    c.narration_skip = from;
    c.narration = to - from;
}

// Source time shown by a clip (owner), or reserved for it: its range.
struct Span {
    double from = 0;
    double to = 0;
    size_t owner = 0;
};

bool covers(const Span& s, double x) { return s.from < x - kTolerance && s.to > x + kTolerance; }

// Seconds from x up to the next moment another clip shows (at most to
// limit); none where one shows x itself.
double room_after(const std::vector<Span>& used, size_t self, double x, double limit) {
    double next = limit;
    for (const Span& s : used) {
        if (s.owner == self) continue;
        if (covers(s, x)) return 0;
        if (s.from >= x - kTolerance) next = std::min(next, s.from);
    }
    return std::max(0.0, next - x);
}

// Seconds from the last moment another clip shows before x (or the
// source's start) up to x; none where one shows x itself.
double room_before(const std::vector<Span>& used, size_t self, double x) {
    double previous = 0;
    for (const Span& s : used) {
        if (s.owner == self) continue;
        if (covers(s, x)) return 0;
        if (s.to <= x + kTolerance) previous = std::max(previous, s.to);
    }
    return std::max(0.0, x - previous);
}

// Standard frame rates, lowest first.
constexpr Rational kStandardRates[] = {{24000, 1001}, {24, 1}, {25, 1}, {30000, 1001}, {30, 1}};
// Film's rate as files give it (24000/1001, 2997/125, 23.98...) and above
// moves smoothly enough; below, the frames are repeated.
constexpr double kSmoothRate = 23.9;

}  // namespace

Rational output_rate(Rational source, double speed) {
    if (source.num <= 0 || source.den <= 0)
        throw Refused("the source's frame rate " + std::to_string(source.num) + "/" +
                      std::to_string(source.den) + " is not usable");
    if (source.value() < 1.0)
        throw Refused("the source's frame rate " + number(source.value(), 3) +
                      " fps is below 1 frame per second");
    if (source.value() > kMaxRate) return Rational{static_cast<long long>(kMaxRate), 1};
    if (source.value() >= kSmoothRate) return source;
    // Frames repeated: at a standard rate that is a whole multiple of the
    // pictures shown per second, each is shown equally long and the motion
    // keeps its even pace (10 fps: each three times at 30). Interpolated
    // frames would smear every moving edge.
    const double shown = source.value() * speed;
    for (const Rational& r : kStandardRates) {
        const double times = r.value() / shown;
        if (times >= 1 - 1e-9 && std::fabs(times - std::round(times)) < 1e-6) return r;
    }
    return Rational{30, 1};
}

std::vector<std::vector<WordTime>> heard_times(const Plan& plan, const std::vector<std::vector<WordTime>>& words) {
    std::vector<std::vector<WordTime>> out = words;
    for (size_t i = 0; i < out.size() && i < plan.clips.size(); ++i) {
        const double skip = plan.clips[i].narration_skip;
        if (skip <= 0) continue;
        for (WordTime& w : out[i]) {
            // Non-finite and negative times stay so: the captions refuse them.
            if (w.start >= skip) w.start -= skip;
            else if (w.start >= 0) w.start = 0;
            if (w.end >= skip) w.end -= skip;
            else if (w.end >= 0) w.end = 0;
        }
    }
    return out;
}

Plan make_plan(const PlanInput& in) {
    check_finite(in.speed, "speed");
    if (in.speed < kMinSpeed || in.speed > kMaxSpeed)
        throw Refused("speed must be between " + number(kMinSpeed) + " and " + number(kMaxSpeed) +
                      ", got " + number(in.speed));
    check_finite(in.source_seconds, "the source's duration");
    if (in.source_seconds <= 0) throw Refused("the source has no duration");
    if (in.segments.empty()) throw Refused("there are no segments");
    if (in.narration_seconds.size() != in.segments.size())
        throw Refused("there are " + std::to_string(in.segments.size()) + " segments but " +
                      std::to_string(in.narration_seconds.size()) + " narrations");
    if (!in.narration_sound.empty() && in.narration_sound.size() != in.segments.size())
        throw Refused("where the narrations' sound lies must be given for every segment or none");

    Plan plan;
    plan.rate = output_rate(in.source_rate, in.speed);
    plan.speed = in.speed;
    const double speed = in.speed;
    // Where the picture ends: ranges are checked against the source, clips
    // against its picture, which may end sooner.
    const double picture = in.video_seconds > 0 ? std::min(in.video_seconds, in.source_seconds)
                                                : in.source_seconds;
    check_finite(picture, "the source's picture duration");

    // First every clip's length, what of it its range shows (from a to b),
    // and why it is not its range.
    const size_t n = in.segments.size();
    std::vector<double> from(n), to(n);
    std::vector<std::string> causes(n);
    std::vector<Span> used;
    for (size_t i = 0; i < n; ++i) {
        const Segment& s = in.segments[i];
        const std::string name = segment_name(i);
        check_finite(s.start, name + ": start");
        check_finite(s.end, name + ": end");
        check_finite(in.narration_seconds[i], name + ": the narration's duration");
        if (s.start < 0) throw Refused(name + ": start " + seconds_text(s.start) + " is negative");
        if (!(s.end > s.start))
            throw Refused(name + ": end " + seconds_text(s.end) + " is not after start " +
                          seconds_text(s.start));
        if (s.start >= in.source_seconds)
            throw Refused(name + ": start " + seconds_text(s.start) +
                          " is at or after the end of the source (" +
                          seconds_text(in.source_seconds) + ")");
        if (in.narration_seconds[i] < 0)
            throw Refused(name + ": the narration's duration is negative");

        ClipPlan c;
        c.range = s.end - s.start;
        trim(c, in.narration_seconds[i], i < in.narration_sound.size() ? in.narration_sound[i] : Sound{}, speed);
        const bool silent = in.fit == Fit::Narration && i < in.silent_tails.size() && in.silent_tails[i];
        // Notes speak in seconds of the finished video.
        const double over = c.narration - c.range;
        std::string& cause = causes[i];
        if (in.fit == Fit::Range) {
            c.length = c.range;
            if (over > kTolerance)
                cause = "narration " + two_decimals(c.narration / speed) + " s is longer than its " +
                        two_decimals(c.range / speed) + " s range; narration cut by " + two_decimals(over / speed) + " s";
        } else {
            // Where nothing would be heard after the narration, a short
            // pause ends the clip: no dead air.
            c.length = silent ? c.narration + kPause * speed : std::max(c.range, c.narration);
            if (std::fabs(c.length - c.range) <= kTolerance) c.length = c.range;
            const double on = c.length - c.range;
            if (over > kTolerance)
                cause = "narration " + two_decimals(c.narration / speed) + " s is longer than its " +
                        two_decimals(c.range / speed) + " s range; the clip runs on " + two_decimals(on / speed) + " s";
            else if (on > 0)
                cause = "the source is silent after the narration; the clip ends " + two_decimals(kPause) +
                        " s after it, " + two_decimals(on / speed) + " s past its range";
            else if (on < 0)
                cause = "the source is silent after the narration; the clip ends " + two_decimals(kPause) +
                        " s after it (" + two_decimals(-on / speed) + " s sooner)";
        }
        c.narration_used = std::min(c.narration, c.length);
        from[i] = std::min(s.start, picture);
        to[i] = std::min(std::min(s.end, picture), from[i] + c.length);
        if (cause.empty() && s.end > picture + kTolerance && from[i] + c.length > picture + kTolerance)
            cause = "the range runs " + two_decimals((s.end - picture) / speed) +
                    " s past the end of the source's picture (" + two_decimals(picture) + " s)";
        used.push_back({s.start, s.end, i});
        plan.clips.push_back(std::move(c));
    }

    // Then the room each clip that needs more takes: after its range, for
    // every clip first, then before it.
    for (size_t i = 0; i < n; ++i) {
        ClipPlan& c = plan.clips[i];
        const double missing = c.length - (to[i] - from[i]);
        if (missing <= kTolerance) continue;
        c.after = std::min(missing, room_after(used, i, to[i], picture));
        if (c.after > kTolerance) used.push_back({to[i], to[i] + c.after, i});
        else c.after = 0;
    }
    for (size_t i = 0; i < n; ++i) {
        ClipPlan& c = plan.clips[i];
        const double missing = c.length - (to[i] - from[i]) - c.after;
        if (missing <= kTolerance) continue;
        c.before = std::min(missing, room_before(used, i, from[i]));
        if (c.before > kTolerance) used.push_back({from[i] - c.before, from[i], i});
        else c.before = 0;
    }

    double at = 0;
    for (size_t i = 0; i < n; ++i) {
        ClipPlan& c = plan.clips[i];
        const Segment& s = in.segments[i];
        c.source_start = from[i] - c.before;
        c.source_part = to[i] - from[i] + c.after + c.before;
        const double rest = c.length - c.source_part;
        if (rest <= kTolerance) {
            c.source_part = c.length;
        } else if (c.source_part < kTolerance) {
            // No picture left that no other clip shows: its last frame, held.
            const double frame = static_cast<double>(in.source_rate.den) / static_cast<double>(in.source_rate.num);
            c.source_start = std::max(0.0, picture - frame);
            c.source_part = std::min(c.length, picture - c.source_start);
            c.hold = c.length - c.source_part;
        } else {
            c.pace = c.source_part / c.length;
        }
        std::vector<std::string> notes;
        if (!causes[i].empty()) notes.push_back(causes[i]);
        if (c.after > 0) notes.push_back("it shows " + two_decimals(c.after / speed) + " s past its range");
        if (s.start - c.source_start > kTolerance)
            notes.push_back("the clip starts " + two_decimals((s.start - c.source_start) / speed) +
                            " s earlier, at " + two_decimals(c.source_start) + " s");
        if (c.hold > 0) notes.push_back("held on the last frame for " + two_decimals(c.hold / speed) + " s");
        if (c.pace < 1)
            notes.push_back(std::string("its picture is slowed to ") + two_decimals(c.pace) + "x" +
                            (c.pace < kNoticeablySlow ? ", noticeably," : "") + " for the other " +
                            two_decimals(rest / speed) + " s");
        std::string note;
        for (const std::string& part : notes) note += (note.empty() ? "" : "; ") + part;
        if (!note.empty()) c.note = segment_name(i) + ": " + note;
        c.start_at = at;
        at += c.length;
    }
    plan.length = at;

    // Frames and samples from the running total, so that rounding never
    // adds up along the clips.
    for (size_t i = 0; i < plan.clips.size(); ++i) {
        ClipPlan& c = plan.clips[i];
        const double end_at = c.start_at + c.length;
        c.out_start = c.start_at / speed;
        c.out_length = c.length / speed;
        c.first_frame = frame_at(c.out_start, plan.rate);
        c.frames = frame_at(end_at / speed, plan.rate) - c.first_frame;
        c.samples = std::llround(end_at * kSampleRate) - std::llround(c.start_at * kSampleRate);
    }
    plan.frames = frame_at(plan.length / speed, plan.rate);
    if (plan.frames < 1)
        throw Refused("the recap would last " + number(plan.length / speed, 4) +
                      " s at speed " + number(speed) + ", less than one frame");
    plan.duration = static_cast<double>(plan.frames) * static_cast<double>(plan.rate.den) /
                    static_cast<double>(plan.rate.num);
    return plan;
}

}  // namespace clipweave::studio
