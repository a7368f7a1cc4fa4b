// Laying out the clips: where each starts in the source, how long it runs,
// how much of its narration is heard and where it lands in the output.
#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "core.hpp"

namespace clipweave::studio {
namespace {

// Differences below this are rounding, not something worth a note.
constexpr double kTolerance = 0.0005;
// How long a clip goes on after its narration where the source is silent.
constexpr double kSilentTail = 0.5;

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

}  // namespace

Rational output_rate(Rational source) {
    if (source.num <= 0 || source.den <= 0)
        throw Refused("the source's frame rate " + std::to_string(source.num) + "/" +
                      std::to_string(source.den) + " is not usable");
    if (source.value() < 1.0)
        throw Refused("the source's frame rate " + number(source.value(), 3) +
                      " fps is below 1 frame per second");
    if (source.value() > kMaxRate) return Rational{static_cast<long long>(kMaxRate), 1};
    return source;
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

    Plan plan;
    plan.rate = output_rate(in.source_rate);
    plan.speed = in.speed;
    // Where the picture ends: ranges are checked against the source, clips
    // against its picture, which may end sooner.
    const double picture = in.video_seconds > 0 ? std::min(in.video_seconds, in.source_seconds)
                                                : in.source_seconds;
    check_finite(picture, "the source's picture duration");
    double at = 0;
    for (size_t i = 0; i < in.segments.size(); ++i) {
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
        c.narration = in.narration_seconds[i];
        const bool silent_tail = i < in.silent_tails.size() && in.silent_tails[i];
        std::vector<std::string> notes;
        const double over = c.narration - c.range;
        if (over > kTolerance) {
            std::string note = "narration " + two_decimals(c.narration) + " s is longer than its " +
                               two_decimals(c.range) + " s range; ";
            if (in.fit == Fit::Narration) {
                c.length = c.narration;
                note += "the clip runs on " + two_decimals(over) + " s";
            } else {
                c.length = c.range;
                note += "narration cut by " + two_decimals(over) + " s";
            }
            notes.push_back(note);
        } else if (in.fit == Fit::Narration && silent_tail &&
                   c.range - c.narration > kSilentTail + kTolerance) {
            // Nothing would be heard after the narration: no dead air.
            c.length = c.narration + kSilentTail;
            notes.push_back("the source is silent after the narration; the clip ends " +
                            two_decimals(kSilentTail) + " s after it (" +
                            two_decimals(c.range - c.length) + " s sooner)");
        } else {
            c.length = c.range;
        }
        c.narration_used = std::min(c.narration, c.length);
        // A clip that would run past the picture's end starts earlier
        // instead, so that the picture keeps moving; only a picture shorter
        // than the clip is held on its last frame.
        c.source_start = s.start;
        if (s.start + c.length > picture + kTolerance) {
            c.source_start = std::max(0.0, picture - c.length);
            if (notes.empty())
                notes.push_back("the range runs " + two_decimals(s.end - picture) +
                                " s past the end of the source's picture (" +
                                two_decimals(picture) + " s)");
            if (s.start - c.source_start > kTolerance)
                notes.push_back("the clip starts " + two_decimals(s.start - c.source_start) +
                                " s earlier, at " + two_decimals(c.source_start) + " s");
        }
        c.source_part = std::min(c.length, picture - c.source_start);
        c.hold = c.length - c.source_part;
        if (c.hold <= kTolerance) {
            c.hold = 0;
            c.source_part = c.length;
        } else {
            notes.push_back("held on the last frame for " + two_decimals(c.hold) + " s");
        }
        std::string note;
        for (const std::string& part : notes) note += (note.empty() ? "" : "; ") + part;
        if (!note.empty()) c.note = name + ": " + note;
        c.start_at = at;
        at += c.length;
        plan.clips.push_back(std::move(c));
    }
    plan.length = at;

    // Frames and samples from the running total, so that rounding never
    // adds up along the clips.
    const double speed = in.speed;
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
