// Music under the recap, mixed in by the finish after the speed change
// (the music keeps its own tempo): looped with a crossfade at each loop
// or cut to the recap, faded in and out, brought to its volume against
// the narration by its measured loudness, and lowered further while a
// narration speaks by an envelope of the narrations' times.
#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "core.hpp"

namespace clipweave::studio {
namespace {

// The narrations are brought to this loudness in the groups (graph.cpp):
// the music's volume is set against it.
constexpr double kNarrationLevel = -16.0;
constexpr double kMaxGain = 30.0;
// Seconds: the fade in and out, the crossfade at a loop (at most a quarter
// of the music), and the ramps of the ducking (it is down as the first
// word starts and back up after the last).
constexpr double kFade = 0.5;
constexpr double kLoopFade = 1.0;
constexpr double kDuckRamp = 0.25;
// The ducking's envelope is evaluated once a frame: frames of this many
// samples (5 ms) make it follow the narrations. Left to the frames that
// come, a crossfade's single frame of up to a second held the music up
// over a narration's first words, or down after its last.
constexpr int kEnvelopeSamples = 240;
// A recap takes at most this many copies of its music.
constexpr size_t kMostCopies = 256;

constexpr const char kFormat[] =
    "aresample=48000,aformat=sample_fmts=fltp:sample_rates=48000:channel_layouts=stereo";

double loop_fade(const Music& m) { return std::min(kLoopFade, m.seconds / 4); }

// Copies of the music that cover the recap, each after the last less the crossfade.
size_t copies(const Job& job, const Plan& plan) {
    const Music& m = job.music;
    if (!std::isfinite(m.seconds) || m.seconds < kMinMusicSeconds)
        throw Refused("the music must be at least " + number(kMinMusicSeconds) + " s long, got " +
                      number(m.seconds, 3) + " s");
    if (m.seconds >= plan.duration) return 1;
    const double x = loop_fade(m);
    const auto n = static_cast<size_t>(std::ceil((plan.duration - x) / (m.seconds - x) - 1e-9));
    if (n > kMostCopies)
        throw Refused("the music (" + number(m.seconds, 1) + " s) would be looped " + std::to_string(n) +
                      " times over the " + number(plan.duration, 1) + " s recap; give music at least " +
                      number(std::ceil(plan.duration / kMostCopies + x)) + " s long");
    return std::max<size_t>(1, n);
}

}  // namespace

std::vector<std::string> music_inputs(const Job& job, const Plan& plan) {
    std::vector<std::string> args;
    if (job.music.path.empty()) return args;
    // One input a copy: each is decoded when the crossfades reach it.
    for (size_t k = copies(job, plan); k > 0; --k) args.insert(args.end(), {"-i", file_url(job.music.path)});
    return args;
}

std::string music_mix(const Job& job, const Plan& plan, size_t first_input, const std::string& in,
                      const std::string& out) {
    const Music& m = job.music;
    const size_t n = copies(job, plan);
    std::string g;
    for (size_t k = 0; k < n; ++k)
        g += "[" + std::to_string(first_input + k) + ":a:0]asetpts=PTS-STARTPTS," + kFormat + "[mu" +
             std::to_string(k) + "];";
    std::string joined = "mu0";
    for (size_t k = 1; k < n; ++k) {
        const std::string next = "mx" + std::to_string(k);
        g += "[" + joined + "][mu" + std::to_string(k) + "]acrossfade=d=" + number(loop_fade(m)) +
             ":c1=qsin:c2=qsin[" + next + "];";
        joined = next;
    }
    const double gain = std::isfinite(m.lufs)
                            ? std::clamp(kNarrationLevel + m.volume_db - m.lufs, -kMaxGain, kMaxGain)
                            : m.volume_db;
    // The ducking: 1 where no narration speaks, down by kMusicDuck while
    // one does, ramps between; overlapping ramps never duck deeper.
    std::string speaking;
    for (const ClipPlan& c : plan.clips) {
        if (c.narration_used <= 0) continue;
        const double from = c.out_start - kDuckRamp, to = c.out_start + c.narration_used / plan.speed + kDuckRamp;
        speaking += (speaking.empty() ? "" : "+") + std::string("clip(min(t-") + number(from, 4) + "," +
                    number(to, 4) + "-t)/" + number(kDuckRamp) + ",0,1)";
    }
    const double depth = 1 - std::pow(10.0, -kMusicDuck / 20);
    const std::string duck =
        speaking.empty() ? "1" : "1-" + number(depth, 6) + "*min(1," + speaking + ")";
    const double length = plan.duration;
    g += "[" + joined + "]apad,atrim=end_sample=" + std::to_string(std::llround(length * kSampleRate)) +
         ",afade=t=in:d=" + number(std::min(kFade, length / 2)) + ",afade=t=out:st=" +
         number(std::max(0.0, length - kFade)) + ":d=" + number(std::min(kFade, length / 2)) + ",volume=" +
         number(gain, 2) + "dB,asetnsamples=n=" + std::to_string(kEnvelopeSamples) + ",volume=" +
         filter_arg(duck) + ":eval=frame[music];[" + in +
         "][music]amix=inputs=2:duration=first:dropout_transition=0:normalize=0[" + out + "]";
    return g;
}

}  // namespace clipweave::studio
