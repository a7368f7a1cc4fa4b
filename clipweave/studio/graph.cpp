// The render's ffmpeg runs: their inputs, filter graphs and encoder options.
//
// Each clip opens the source on its own with input seeking (-ss before -i),
// so ffmpeg reads from the keyframe before the clip's start and decodes to
// its exact first frame: the cost follows the clips, not the source's
// length. Every clip is sped up and brought to the output rate before it is
// framed, so the framing filters see output frames only.
//
// An ffmpeg run keeps every input's decoder until it ends, so the clips'
// pictures go in bounded groups, a run each, which also lets two run side by
// side (one filter graph runs on one thread). Each group writes its picture
// (H.264, closed GOPs, the same settings for all). The sound is made beside
// them, in runs that decode no picture: the clips' sound (PCM at the
// source's pace), then the mix, which speeds up, normalises and encodes the
// sound of the whole recap at once. The finish only joins the pictures and
// the sound by stream copy: nothing is left to do one thing at a time at
// the end.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <string>
#include <vector>

#include "../common/tempo.hpp"
#include "core.hpp"

namespace clipweave::studio {
namespace {

// The blurred fill is made kFillScale times smaller than the frame and
// scaled up: blurring a full frame costs far more and looks the same. Only
// the parts the picture leaves uncovered are scaled up, and only kFillRate
// times a second: blurred, the fill's motion shows no steps.
constexpr int kFillScale = 4;
constexpr int kFillRate = 10;
// Loudness: one ffmpeg run cannot measure the mix before normalising it,
// and a single-pass loudnorm misses its target when it has to limit hard
// (synthetic speech peaks some 18 dB above its loudness; the result came
// out 1 LU quiet). So each narration, measured beforehand, is brought to a
// common level and its peaks are held 10 dB above that, which leaves
// loudnorm a small, even correction; its ceiling sits 1 dB under the
// -1 dBTP limit for the overshoot of resampling and AAC.
constexpr double kNarrationLufs = -16.0;
constexpr double kNarrationCeiling = 0.5;  // -6 dBFS
constexpr double kMaxGain = 30.0;
constexpr const char kLoudnorm[] = "loudnorm=I=-14:TP=-2:LRA=11";
// loudnorm measures over a 3-second window.
constexpr double kLoudnormWindow = 3.0;
// Seconds over which the source's sound comes back up after a narration.
constexpr double kBedRise = 0.25;
// Seconds of fade where a narration is cut.
constexpr double kCutFade = 0.04;
// Each input's decoder lives until its run ends, so a group's clips are
// bounded by the pictures their decoders hold: kGroupPixels of source
// pixels (four clips of 720p), at least kMinGroupClips and at most
// kMaxGroupClips (which bounds a run's open files too). Small sources make
// few, large groups: each run costs some startup.
constexpr long long kGroupPixels = 4LL * 1280 * 720;
constexpr size_t kMinGroupClips = 3;
constexpr size_t kMaxGroupClips = 32;
// Runs side by side: a group count that is a multiple of it keeps both busy.
constexpr size_t kSideBySide = 2;
// Above this size the graph goes to a file (one argument of the command
// line may hold at most 128 KiB on Linux).
constexpr size_t kGraphArgumentLimit = 64 * 1024;

constexpr const char kAudioFormat[] =
    "aresample=48000,aformat=sample_fmts=fltp:sample_rates=48000:channel_layouts=stereo";

std::string rate_text(const Rational& r) {
    return r.den == 1 ? std::to_string(r.num) : std::to_string(r.num) + "/" + std::to_string(r.den);
}

// atempo for a factor below 1: one instance goes down to 0.5.
std::string slowed_tempo(double pace) {
    std::string chain;
    while (pace < 0.5) {
        chain += "atempo=0.5,";
        pace *= 2;
    }
    return chain + "atempo=" + number(pace, 6);
}

int even_floor(double v) { return std::max(2, static_cast<int>(std::floor(v / 2)) * 2); }
int even_ceil(double v) { return std::max(2, static_cast<int>(std::ceil(v / 2 - 1e-9)) * 2); }
// Offsets of a picture inside the frame, even for the halved chroma planes.
int even_offset(int room) { return std::max(0, room / 2 / 2 * 2); }

// The whole frame inside width x height, even dimensions.
Size fit_inside(const Size& from, int width, int height) {
    const double s = std::min(static_cast<double>(width) / from.width,
                              static_cast<double>(height) / from.height);
    return {std::min(width, even_floor(from.width * s + 1e-6)),
            std::min(height, even_floor(from.height * s + 1e-6))};
}

// The frame scaled to cover width x height, even dimensions.
Size cover(const Size& from, int width, int height) {
    const double s = std::max(static_cast<double>(width) / from.width,
                              static_cast<double>(height) / from.height);
    return {std::max(width, even_ceil(from.width * s)), std::max(height, even_ceil(from.height * s))};
}

std::string scale_to(const Size& s) {
    return "scale=" + std::to_string(s.width) + ":" + std::to_string(s.height) + ",setsar=1";
}

std::string crop_centre(const Size& from, int width, int height) {
    return "crop=" + std::to_string(width) + ":" + std::to_string(height) + ":" +
           std::to_string((from.width - width) / 2) + ":" + std::to_string((from.height - height) / 2);
}

// The picture, whole, over a blurred and dimmed fill of itself: the bands
// the picture leaves uncovered (above and below it, or beside it) are cut
// from a small blurred copy, scaled up kFillRate times a second and stacked
// with the picture at the output rate. Stacking writes every pixel once,
// where laying the picture over a full-size fill wrote most of them twice
// and held the render's pipeline back.
std::string blurred_fill(const Frame& out, const Size& shown, const std::string& rate, long long frames,
                         const std::string& n) {
    const int width = out.width, height = out.height;
    // The small fill: a pixel of it for kFillScale of the frame's, each way.
    const int fill_width = (width + kFillScale - 1) / kFillScale;
    const int fill_height = (height + kFillScale - 1) / kFillScale;
    const Size f = fit_inside(shown, width, height);
    const bool side_by_side = f.height == height;
    const int room = side_by_side ? width - f.width : height - f.height;
    const int before = even_offset(room), after = room - before;
    const std::string picture = scale_to(f);
    if (before < 2 && after < 2) return picture + ",pad=" + std::to_string(width) + ":" +
                                        std::to_string(height) + ":-1:-1:color=black";
    // The fill covers the frame; crop the source to the frame's shape first,
    // so the small copy is scaled from no more pixels than it shows.
    const double aspect = out.aspect();
    const int cw = std::min(shown.width, even_floor(shown.height * aspect + 1e-6));
    const int ch = std::min(shown.height, even_floor(shown.width / aspect + 1e-6));
    // eof_action=pass: a clip of a single frame still has a fill.
    std::string g = "split=2[fg" + n + "][bg" + n + "];[bg" + n + "]fps=" +
                    std::to_string(kFillRate) + ":eof_action=pass," + crop_centre(shown, cw, ch) + ",scale=" +
                    std::to_string(fill_width) + ":" + std::to_string(fill_height) +
                    ",gblur=sigma=7,lutyuv=y=16+(val-16)*0.55,split=2[fa" + n + "][fb" + n + "]";
    // One band: its part of the small fill, a pixel more each way where the
    // fill has one, scaled up and cut to the band's size. Back at the output
    // rate a band may run a frame past the picture; it is cut to the
    // picture's frames here, so the stack (which repeats the last frame of
    // an input that ends first) ends with the picture.
    auto band = [&](const std::string& in, int offset, int size) {
        const int lo = std::max(0, offset / kFillScale - 1);
        const int span = side_by_side ? fill_width : fill_height;
        const int hi = std::min(span, (offset + size + kFillScale - 1) / kFillScale + 1);
        const int cut = offset - lo * kFillScale;
        const std::string across = std::to_string(side_by_side ? fill_height : fill_width);
        const std::string part = std::to_string(hi - lo), at = std::to_string(lo);
        const std::string up = std::to_string((hi - lo) * kFillScale);
        const std::string full = std::to_string(side_by_side ? height : width);
        return ";[" + in + n + "]" +
               (side_by_side ? "crop=" + part + ":" + across + ":" + at + ":0,scale=" + up + ":" +
                                   full + ":flags=bilinear,crop=" + std::to_string(size) + ":" +
                                   full + ":" + std::to_string(cut) + ":0"
                             : "crop=" + across + ":" + part + ":0:" + at + ",scale=" + full +
                                   ":" + up + ":flags=bilinear,crop=" + full + ":" +
                                   std::to_string(size) + ":0:" + std::to_string(cut)) +
               ",setsar=1,fps=" + rate + ":eof_action=pass,trim=end_frame=" +
               std::to_string(frames);
    };
    std::string inputs;
    if (before >= 2) {
        g += band("fa", 0, before) + "[one" + n + "]";
        inputs += "[one" + n + "]";
    } else {
        g += ";[fa" + n + "]nullsink";
    }
    g += ";[fg" + n + "]" + picture + "[pic" + n + "]";
    inputs += "[pic" + n + "]";
    if (after >= 2) {
        g += band("fb", before + (side_by_side ? f.width : f.height), after) + "[two" + n + "]";
        inputs += "[two" + n + "]";
    } else {
        g += ";[fb" + n + "]nullsink";
    }
    const int count = (before >= 2) + 1 + (after >= 2);
    return g + ";" + inputs + (side_by_side ? "hstack" : "vstack") + "=inputs=" +
           std::to_string(count);
}

// Filters from a clip's frames at the shown size to its frames of the output's size.
std::string framing(Framing how, const Frame& out, const Size& shown, const std::string& rate, long long frames,
                    size_t k) {
    const std::string n = std::to_string(k);
    const int width = out.width, height = out.height;
    switch (how) {
        case Framing::Crop: {
            const Size c = cover(shown, width, height);
            return scale_to(c) + "," + crop_centre(c, width, height);
        }
        case Framing::Fit: {
            const Size f = fit_inside(shown, width, height);
            return scale_to(f) + ",pad=" + std::to_string(width) + ":" + std::to_string(height) +
                   ":" + std::to_string(even_offset(width - f.width)) + ":" +
                   std::to_string(even_offset(height - f.height)) + ":color=black";
        }
        case Framing::Blur:
            return blurred_fill(out, shown, rate, frames, n);
    }
    throw Refused("unknown framing");
}

// A shot's window position along its free axis, in shown pixels, at the
// shot's own time t (output seconds): the path's keys joined by straight
// lines, each a ramp that starts at its key, so the expression stays flat
// however many keys there are.
std::string window_position(const FollowShot& shot, double shot_start, double speed, int span, int window) {
    auto at = [&](double centre) { return std::clamp(centre * span - window / 2.0, 0.0, double(span - window)); };
    std::vector<std::string> terms{number(at(shot.path.empty() ? 0.5 : shot.path.front().centre), 3)};
    for (size_t i = 1; i < shot.path.size(); ++i) {
        const double from = (shot.path[i - 1].t - shot_start) / speed, to = (shot.path[i].t - shot_start) / speed;
        const double step = at(shot.path[i].centre) - at(shot.path[i - 1].centre);
        if (std::fabs(step) < 0.01) continue;
        if (to - from < 1e-6) {
            terms.push_back(number(step, 3) + "*gte(t," + number(from, 4) + ")");
            continue;
        }
        terms.push_back(number(step, 3) + "*clip((t-" + number(from, 4) + ")/" + number(to - from, 4) + ",0,1)");
    }
    // ffmpeg's expressions take some ninety terms in one sum: a path of a
    // key a frame is summed in brackets of kTermsPerSum.
    constexpr size_t kTermsPerSum = 40;
    std::string e;
    for (size_t i = 0; i < terms.size(); i += kTermsPerSum) {
        std::string sum;
        for (size_t j = i; j < std::min(terms.size(), i + kTermsPerSum); ++j) sum += (j > i ? "+" : "") + terms[j];
        e += (i > 0 ? "+(" : "(") + sum + ")";
    }
    return "clip(" + e + ",0," + std::to_string(span - window) + ")";
}

// A clip framed shot by shot: a window of the picture of the output's
// shape, standing or moving along its path, scaled to fill the frame; or
// the blur framing. A
// clip of several shots is split, each shot trimmed to its frames, framed
// and joined again in order: the window jumps at a cut, never pans.
std::string follow_framing(const Job& job, const Plan& plan, const ClipPlan& c, size_t k) {
    const Size shown = displayed_size(job.source);
    const std::string rate = rate_text(plan.rate);
    const std::vector<FollowShot>& shots = job.follow[k];
    // Source seconds of the clip to seconds of the video.
    const double pace = plan.speed * c.pace;
    // Frames from the pixel aspect's stretch onwards, so the window is cut in shown pixels.
    const bool stretched = job.source.sar.num > 0 && job.source.sar.den > 0 && job.source.sar.num != job.source.sar.den;
    const std::string head = stretched ? scale_to(shown) + "," : "";
    const int width = job.frame.width, height = job.frame.height;
    const bool across = static_cast<long long>(shown.width) * height > static_cast<long long>(shown.height) * width;
    const int cw = across ? std::min(shown.width, even_floor(static_cast<double>(shown.height) * width / height))
                          : even_floor(shown.width);
    const int ch = across ? even_floor(shown.height)
                          : std::min(shown.height, even_floor(static_cast<double>(shown.width) * height / width));
    std::vector<std::pair<long long, long long>> frames;  // of each shot in the clip
    std::vector<size_t> used;
    for (size_t j = 0; j < shots.size(); ++j) {
        const long long first = j == 0 ? 0 : std::clamp(std::llround(shots[j].start / pace * plan.rate.value()), 0LL, c.frames);
        const long long last = j + 1 == shots.size() ? c.frames
                               : std::clamp(std::llround(shots[j + 1].start / pace * plan.rate.value()), first, c.frames);
        if (last > first) {
            frames.emplace_back(first, last);
            used.push_back(j);
        }
    }
    auto framed = [&](size_t j, long long count, const std::string& n) {
        const FollowShot& shot = shots[j];
        if (shot.blur) return blurred_fill(job.frame, shown, rate, count, n);
        const int span = across ? shown.width : shown.height, window = across ? cw : ch;
        if (shot.width > 0) {
            // Wider than the output's shape: that part of the picture over its blurred fill.
            const int wide = std::clamp(even_floor(shot.width * span), window, span);
            const double centre = shot.path.empty() ? 0.5 : shot.path.front().centre;
            const int at = std::clamp(even_floor(centre * span - wide / 2.0), 0, span - wide);
            const Size part = across ? Size{wide, shown.height} : Size{shown.width, wide};
            return "crop=w=" + std::to_string(part.width) + ":h=" + std::to_string(part.height) + ":x=" +
                   std::to_string(across ? at : 0) + ":y=" + std::to_string(across ? 0 : at) + "," +
                   blurred_fill(job.frame, part, rate, count, n);
        }
        const std::string pos = window_position(shot, shot.start, pace, span, window);
        auto cut = [&](int w, int h, const std::string& at, bool exact) {
            return "crop=w=" + std::to_string(w) + ":h=" + std::to_string(h) + ":x=" + filter_arg(across ? at : "0") +
                   ":y=" + filter_arg(across ? "0" : at) + (exact ? ":exact=1," : ",");
        };
        if (span < window + 4)
            return cut(cw, ch, pos, true) + "scale=" + std::to_string(width) + ":" + std::to_string(height) + ",setsar=1";
        // Whole source pixels would make a slow pan judder by a scaled-up pixel
        // (5 on a 360-line source): a window four pixels larger is cut at the
        // even pixel below (where the halved chroma lines up), scaled, and the
        // rest is cut away in output pixels.
        const double scale = (across ? width : height) / static_cast<double>(window);
        const int wide = static_cast<int>(std::lround((window + 4) * scale)), last = (span - window - 4) / 2 * 2;
        const std::string below = "2*floor(min(ld(0)," + std::to_string(last) + ")/2)";
        const std::string fine = "st(0," + pos + ");min((ld(0)-" + below + ")*" + number(scale, 6) + "," +
                                 std::to_string(wide - (across ? width : height)) + ")";
        return cut(across ? cw + 4 : cw, across ? ch : ch + 4, "st(0," + pos + ");" + below, false) + "scale=" +
               std::to_string(across ? wide : width) + ":" + std::to_string(across ? height : wide) + "," +
               cut(width, height, fine, true) + "setsar=1";
    };
    const std::string n = std::to_string(k);
    if (used.size() <= 1) return head + framed(used.empty() ? 0 : used[0], c.frames, n);
    std::string g = head + "split=" + std::to_string(used.size());
    for (size_t i = 0; i < used.size(); ++i) g += "[sh" + n + "_" + std::to_string(i) + "]";
    std::string joined;
    for (size_t i = 0; i < used.size(); ++i) {
        const std::string m = n + "_" + std::to_string(i);
        g += ";[sh" + m + "]trim=start_frame=" + std::to_string(frames[i].first) + ":end_frame=" +
             std::to_string(frames[i].second) + ",setpts=PTS-STARTPTS," +
             framed(used[i], frames[i].second - frames[i].first, m) + "[shf" + m + "]";
        joined += "[shf" + m + "]";
    }
    return g + ";" + joined + "concat=n=" + std::to_string(used.size()) + ":v=1:a=0";
}

void check_name(const std::string& value, const char* what) {
    if (value.empty()) throw Refused(std::string(what) + " is empty");
    if (value.find('\0') != std::string::npos)
        throw Refused(std::string(what) + " contains a NUL character");
}

void check_file_name(const std::string& value, const char* what) {
    check_name(value, what);
    if (value.find('/') != std::string::npos)
        throw Refused(std::string(what) + " must be a file name in the work directory, got '" + value + "'");
}

// A source of standard definition is taken as BT.601 unless tagged
// otherwise; the recap is BT.709, so its matrix is converted.
bool bt601(const Source& source) {
    const std::string& m = source.matrix;
    if (m == "smpte170m" || m == "bt470bg" || m == "bt601") return true;
    if (!m.empty() && m != "unknown") return false;
    return std::min(source.width, source.height) < 720 && std::max(source.width, source.height) < 1280;
}

// The clip read by input `input` of its run, to its frames of the output's size [v<k>].
std::string video_chain(const Job& job, const Plan& plan, const ClipPlan& c, size_t input, size_t k) {
    const double pad = c.hold / plan.speed + 3.0 / plan.rate.value();
    // A slowed clip's frames are spread over its length: fps shows each
    // for as many output frames as fall on it.
    return "[" + std::to_string(input) + ":v:0]format=yuv420p," +
           (bt601(job.source) ? "colormatrix=bt601:bt709," : "") + "setpts=(PTS-STARTPTS)/" +
           number(plan.speed * c.pace, 9) + ",fps=" + rate_text(plan.rate) +
           ",tpad=stop_mode=clone:stop_duration=" + number(pad) +
           ",trim=end_frame=" + std::to_string(c.frames) + ",setpts=PTS-STARTPTS," +
           (k < job.follow.size() && !job.follow[k].empty()
                ? follow_framing(job, plan, c, k)
                : framing(k < job.framings.size() ? job.framings[k] : job.framing, job.frame,
                          displayed_size(job.source), rate_text(plan.rate), c.frames, k)) +
           "[v" + std::to_string(k) + "]";
}

// The clip's sound [a<k>] at the source's pace: its narration from input
// `narration`, over the source's own sound from input `source`.
std::string audio_chain(const Job& job, const ClipPlan& c, size_t source, size_t narration_input,
                        size_t k) {
    const std::string n = std::to_string(k);
    const std::string samples = std::to_string(c.samples);
    // The narration's own silence beyond a natural pause is skipped.
    std::string narration = "[" + std::to_string(narration_input) + ":a:0]" +
                            (c.narration_skip > 0 ? "atrim=start=" + number(c.narration_skip) + "," : "") +
                            "asetpts=PTS-STARTPTS," + kAudioFormat;
    if (!job.narration_lufs.empty() && std::isfinite(job.narration_lufs[k])) {
        const double gain = std::clamp(kNarrationLufs - job.narration_lufs[k], -kMaxGain, kMaxGain);
        narration += ",volume=" + number(gain, 2) + "dB";
    }
    narration += ",alimiter=limit=" + number(kNarrationCeiling) +
                 ":level=false:attack=2:release=30:latency=true,apad,atrim=end_sample=" + samples;
    if (c.narration_used < c.narration && c.length > kCutFade)
        narration += ",afade=t=out:st=" + number(c.length - kCutFade) + ":d=" + number(kCutFade);
    if (!job.has_bed || !job.source.has_audio) return narration + "[a" + n + "]";

    // The source's own sound: lowered under the narration, back up after it.
    const double bed = std::pow(10.0, job.bed_volume_db / 20.0);
    const std::string level = number(bed, 6) + "+" + number(1 - bed, 6) + "*clip((t-" +
                              number(c.narration_used) + ")/" + number(kBedRise) + ",0,1)";
    // Under a slowed picture, the source's sound slowed with it (its pitch kept).
    return narration + "[n" + n + "];[" + std::to_string(source) + ":a:0]asetpts=PTS-STARTPTS," +
           kAudioFormat + (c.pace < 1 ? "," + slowed_tempo(c.pace) : "") + ",apad,atrim=end_sample=" + samples +
           ",volume=" + filter_arg(level) +
           ":eval=frame[b" + n + "];[b" + n + "][n" + n +
           "]amix=inputs=2:duration=first:dropout_transition=0:normalize=0[a" + n + "]";
}

std::vector<std::string> run_head() {
    return {"ffmpeg", "-hide_banner", "-nostdin", "-nostats", "-loglevel", "error", "-progress",
            "pipe:1", "-y"};
}

// Contiguous groups of clips, as even as they come, their count a multiple
// of kSideBySide where there are that many clips.
std::vector<std::pair<size_t, size_t>> groups(size_t clips, const Source& source) {
    const long long pixels = std::max(1LL, static_cast<long long>(source.width) * source.height);
    const size_t most = std::clamp<size_t>(static_cast<size_t>(kGroupPixels / pixels), kMinGroupClips,
                                           kMaxGroupClips);
    size_t count = (clips + most - 1) / most;
    count = std::min(clips, (count + kSideBySide - 1) / kSideBySide * kSideBySide);
    std::vector<std::pair<size_t, size_t>> out;
    for (size_t g = 0; g < count; ++g) out.emplace_back(clips * g / count, clips * (g + 1) / count);
    return out;
}

// Contiguous runs of the clips' sound, kMaxGroupClips at most: a run that
// decodes no picture is bounded by its open files only.
std::vector<std::pair<size_t, size_t>> sound_groups(size_t clips) {
    const size_t count = (clips + kMaxGroupClips - 1) / kMaxGroupClips;
    std::vector<std::pair<size_t, size_t>> out;
    for (size_t g = 0; g < count; ++g) out.emplace_back(clips * g / count, clips * (g + 1) / count);
    return out;
}

// A name in a join list, quoted as the concat demuxer reads it.
std::string concat_quoted(const std::string& name) {
    std::string out = "'";
    for (char ch : name) out += ch == '\'' ? std::string("'\\''") : std::string(1, ch);
    return out + "'";
}

// The run of the clips [first, last) that have a frame at this speed: their
// picture to `picture`; the colour emoji's pictures are the files `pictures`.
Step picture_step(const Job& job, const Plan& plan, size_t first, size_t last, const std::string& picture,
                  const std::vector<EmojiShown>& emoji, const std::vector<std::string>& pictures) {
    Step step;
    std::string graph, video_inputs;
    std::vector<std::string> picture_inputs;  // after the clips' inputs
    std::vector<size_t> shown;
    for (size_t k = first; k < last; ++k)
        if (plan.clips[k].frames > 0) shown.push_back(k);
    long long frames = 0;
    for (size_t i = 0; i < shown.size(); ++i) {
        const ClipPlan& c = plan.clips[shown[i]];
        graph += video_chain(job, plan, c, i, shown[i]) + ";";
        video_inputs += "[v" + std::to_string(shown[i]) + "]";
        frames += c.frames;
    }
    // concat takes a clip's last frame as lasting nothing: after a clip
    // of one frame the next one's first frame had the same time and was
    // dropped. Every clip is whole frames at the output rate, so the
    // frames are numbered afresh.
    graph += video_inputs + "concat=n=" + std::to_string(shown.size()) + ":v=1:a=0,setpts=N*" +
             std::to_string(plan.rate.den) + "/" + std::to_string(plan.rate.num) + "/TB,";
    if (burns(job)) {
        // The captions are timed on the finished video: the group's
        // frames are put in its place for them, then back at zero.
        const ClipPlan& c = plan.clips[shown.front()];
        const std::string at = std::to_string(c.first_frame) + "*" + std::to_string(plan.rate.den) +
                               "/" + std::to_string(plan.rate.num);
        const double rate = plan.rate.value();
        graph += "setpts=PTS+" + at + "/TB[burn];" +
                 burn_in(job, emoji, pictures, rate, c.first_frame / rate, (c.first_frame + frames) / rate,
                         shown.size(), picture_inputs, "burn", "burned") +
                 ";[burned]setpts=PTS-STARTPTS,";
    }
    graph += "setsar=1,format=yuv420p[vout]";
    step.graph = graph;
    step.frames = frames;
    step.duration = static_cast<double>(frames) * plan.rate.den / plan.rate.num;

    std::vector<std::string>& a = step.args;
    a = run_head();
    for (size_t k : shown) {
        const ClipPlan& c = plan.clips[k];
        // A little more than the clip: the trims cut it to the frame.
        const double read = c.source_part + 0.25;
        a.insert(a.end(), {"-ss", number(c.source_start), "-t", number(read), "-i", file_url(job.source.path)});
    }
    a.insert(a.end(), picture_inputs.begin(), picture_inputs.end());
    a.insert(a.end(), {"-filter_complex", graph, "-map", "[vout]"});
    for (std::string& e : video_args(job.encoder, job.quality)) a.push_back(std::move(e));
    a.insert(a.end(), {"-an", "-map_metadata", "-1", "-f", "mp4", file_url(picture)});
    return step;
}

// The run of the clips [first, last)'s sound at the source's pace to
// `sound`: each narration over the source's own sound, where it is heard.
Step sound_step(const Job& job, const Plan& plan, size_t first, size_t last, const std::string& sound) {
    Step step;
    const size_t m = last - first;
    const bool bed = job.has_bed && job.source.has_audio;
    std::string graph, audio_inputs;
    long long samples = 0;
    for (size_t k = first; k < last; ++k) {
        graph += audio_chain(job, plan.clips[k], k - first, (bed ? m : 0) + k - first, k) + ";";
        audio_inputs += "[a" + std::to_string(k) + "]";
        samples += plan.clips[k].samples;
    }
    graph += audio_inputs + "concat=n=" + std::to_string(m) + ":v=0:a=1[aout]";
    step.graph = graph;
    step.duration = static_cast<double>(samples) / kSampleRate;

    std::vector<std::string>& a = step.args;
    a = run_head();
    if (bed)
        for (size_t k = first; k < last; ++k) {
            const ClipPlan& c = plan.clips[k];
            a.insert(a.end(), {"-ss", number(c.source_start), "-t", number(c.source_part + 0.25), "-i",
                               file_url(job.source.path)});
        }
    for (size_t k = first; k < last; ++k) a.insert(a.end(), {"-i", file_url(job.narrations[k])});
    a.insert(a.end(), {"-filter_complex", graph, "-map", "[aout]", "-c:a", "pcm_f32le", "-f", "wav", file_url(sound)});
    return step;
}

// A graph too long for a command line goes to a file of the work directory.
void graph_to_file(Render& r, Step& step, const Job& job, const std::string& tag) {
    if (step.graph.size() <= kGraphArgumentLimit) return;
    check_file_name(job.graph_file, "the filter graph file name");
    const std::string name = job.graph_file + "." + tag;
    r.files.emplace_back(name, step.graph);
    r.scratch.push_back(name);
    for (size_t i = 0; i < step.args.size(); ++i)
        if (step.args[i] == "-filter_complex") {
            step.args[i] = "-filter_complex_script";
            step.args[i + 1] = file_url(name);
        }
}

// The colour emoji's pictures as files for the runs, named after the
// captions file; their names, by picture.
std::vector<std::string> picture_files(const Job& job, const Captions& captions, Render& r) {
    std::vector<std::string> names;
    for (size_t k = 0; k < captions.pictures.size(); ++k) {
        names.push_back(job.captions_file + ".emoji" + std::to_string(k) + ".pam");
        r.images.emplace_back(names.back(), pam_image(captions.pictures[k]));
        r.scratch.push_back(names.back());
    }
    return names;
}

void check_job(const Job& job) {
    const size_t n = job.segments.size();
    if (job.narrations.size() != n || job.texts.size() != n || job.narration_seconds.size() != n)
        throw Refused("every segment needs one narration file, duration and text");
    if (!job.narration_lufs.empty() && job.narration_lufs.size() != n)
        throw Refused("narration loudness must be given for every segment or none");
    if (job.has_bed && (!std::isfinite(job.bed_volume_db) || job.bed_volume_db < kMinBedVolume ||
                        job.bed_volume_db > kMaxBedVolume))
        throw Refused("bed volume must be between " + number(kMinBedVolume) + " and " + number(kMaxBedVolume) +
                      " dB, got " + number(job.bed_volume_db));
    if (!job.follow.empty() && job.follow.size() != n)
        throw Refused("follow shots must be given for every segment or none");
    if (!job.framings.empty() && job.framings.size() != n)
        throw Refused("frames must be given for every segment or none");
    for (size_t k = 0; k < job.follow.size(); ++k)
        for (size_t j = 0; j < job.follow[k].size(); ++j) {
            const FollowShot& shot = job.follow[k][j];
            const std::string what = "segment " + std::to_string(k + 1) + ", shot " + std::to_string(j + 1);
            if (!std::isfinite(shot.start) || shot.start < 0 || (j > 0 && shot.start < job.follow[k][j - 1].start))
                throw Refused(what + ": shots must start in order, at 0 s or later");
            for (size_t i = 0; i < shot.path.size(); ++i)
                if (!std::isfinite(shot.path[i].t) || !(shot.path[i].centre >= 0 && shot.path[i].centre <= 1) ||
                    (i > 0 && shot.path[i].t < shot.path[i - 1].t))
                    throw Refused(what + ": its path needs ascending times and centres from 0 to 1");
        }
    check_name(job.source.path, "the source path");
    for (const std::string& p : job.narrations) check_name(p, "a narration path");
    check_file_name(job.output, "the output name");
    if (burns(job)) check_file_name(job.captions_file, "the captions file name");
    if (!job.music.path.empty()) {
        check_name(job.music.path, "the music path");
        if (!std::isfinite(job.music.volume_db) || job.music.volume_db < kMinMusicVolume ||
            job.music.volume_db > kMaxMusicVolume)
            throw Refused("music volume must be between " + number(kMinMusicVolume) + " and " +
                          number(kMaxMusicVolume) + " dB, got " + number(job.music.volume_db));
    }
    check_encoder(job.encoder);
}

}  // namespace

bool burned(CaptionMode mode) { return mode == CaptionMode::Words || mode == CaptionMode::Phrases; }

bool burns(const Job& job) { return burned(job.captions) || !job.look.title.empty(); }

std::string file_url(const std::string& path) { return "file:" + path; }

std::string number(double v, int decimals) {
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, decimals);
    std::string s = r.ec == std::errc() ? std::string(buf, r.ptr) : std::string("0");
    if (s.find('.') != std::string::npos) {
        while (s.back() == '0') s.pop_back();
        if (s.back() == '.') s.pop_back();
    }
    if (s == "-0") s = "0";
    return s;
}

std::string filter_arg(const std::string& value) {
    // First as an option value, then as text of the graph.
    std::string option;
    for (char ch : value) {
        if (ch == '\\' || ch == '\'' || ch == ':' || ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r')
            option += '\\';
        option += ch;
    }
    std::string graph;
    for (char ch : option) {
        if (ch == '\\' || ch == '\'' || ch == '[' || ch == ']' || ch == ',' || ch == ';' || ch == ' ' ||
            ch == '\t' || ch == '\n' || ch == '\r')
            graph += '\\';
        graph += ch;
    }
    return graph;
}

Size displayed_size(const Source& source) {
    if (source.width < 1 || source.height < 1)
        throw Refused("the source has no video picture (" + std::to_string(source.width) + "x" +
                      std::to_string(source.height) + ")");
    double width = source.width;
    if (source.sar.num > 0 && source.sar.den > 0 && source.sar.num != source.sar.den)
        width = std::max(1.0, std::round(width * source.sar.value()));
    double height = source.height;
    const int turn = ((source.rotation % 360) + 360) % 360;
    if (turn == 90 || turn == 270) std::swap(width, height);
    return {static_cast<int>(width), static_cast<int>(height)};
}

void check_encoder(const std::string& encoder) {
    if (encoder != "libx264" && encoder != "h264_nvenc")
        throw Refused("encoder must be libx264 or h264_nvenc, got '" + encoder.substr(0, 40) + "'");
}

std::string output_name_fault(const std::string& name) {
    if (name.empty() || name.find('\0') != std::string::npos || name.find('/') != std::string::npos ||
        name[0] == '.')  // "." and ".." too: hidden files are the render's own scratch
        return "must be a plain file name in the work directory";
    std::string suffix = name.size() >= 4 ? name.substr(name.size() - 4) : "";
    for (char& ch : suffix) ch = static_cast<char>(ch >= 'A' && ch <= 'Z' ? ch - 'A' + 'a' : ch);
    if (suffix != ".mp4") return "must end in .mp4";
    return "";
}

std::vector<std::string> video_args(const std::string& encoder, Quality quality) {
    std::vector<std::string> args;
    if (encoder == "h264_nvenc") {
        const char* preset = quality == Quality::Fast ? "p1" : quality == Quality::Small ? "p6" : "p4";
        const char* cq = quality == Quality::Small ? "27" : "23";
        args = {"-c:v", "h264_nvenc", "-preset", preset, "-rc", "vbr", "-cq", cq, "-b:v", "0"};
    } else if (quality == Quality::Fast) {
        // ultrafast alone makes Constrained Baseline; the 8x8 transform
        // makes it High at almost no cost.
        args = {"-c:v", "libx264", "-preset", "ultrafast", "-crf", "21", "-x264-params", "8x8dct=1"};
    } else if (quality == Quality::Small) {
        // medium compresses better than veryfast at the same quality, so the
        // same CRF came out larger: smaller needs a higher CRF.
        args = {"-c:v", "libx264", "-preset", "medium", "-crf", "24"};
    } else {
        args = {"-c:v", "libx264", "-preset", "veryfast", "-crf", "21"};
    }
    for (const char* a : {"-pix_fmt", "yuv420p", "-profile:v", "high", "-fps_mode", "cfr", "-colorspace",
                          "bt709", "-color_primaries", "bt709", "-color_trc", "bt709", "-color_range", "tv"})
        args.emplace_back(a);
    return args;
}

std::vector<std::string> audio_args() {
    return {"-c:a", "aac", "-b:a", "160k", "-ar", "48000", "-ac", "2", "-movflags", "+faststart",
            "-map_metadata", "-1", "-map_chapters", "-1", "-f", "mp4"};
}

std::vector<std::string> encode_args(const std::string& encoder, Quality quality) {
    std::vector<std::string> args = video_args(encoder, quality);
    for (std::string& a : audio_args()) args.push_back(std::move(a));
    return args;
}

std::vector<std::string> hardware_probe_args() {
    return {"ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-f", "lavfi", "-i",
            "color=c=black:s=256x256:r=25:d=0.2", "-c:v", "h264_nvenc", "-f", "null", "-"};
}

Render prepare(const Job& job) {
    PlanInput in;
    in.segments = job.segments;
    in.narration_seconds = job.narration_seconds;
    in.narration_sound = job.narration_sound;
    in.source_seconds = job.source.seconds;
    in.video_seconds = job.source.video_seconds;
    in.silent_tails = job.silent_tails;
    in.fit = job.fit;
    in.speed = job.speed;
    in.source_rate = job.source.rate;
    Render r;
    r.plan = make_plan(in);  // first: the speed must be finite and in range for the tempo chain
    check_job(job);
    displayed_size(job.source);
    Captions captions = make_captions(r.plan, job.texts, heard_times(r.plan, job.words), job.captions, job.coverage,
                                      job.frame, job.look);
    if (job.captions != CaptionMode::None) {
        r.cues = std::move(captions.cues);
        r.srt = std::move(captions.srt);
    }
    r.ass = std::move(captions.ass);  // a title is burned in without captions too
    const std::vector<std::string> pictures = picture_files(job, captions, r);
    r.words = std::move(captions.words);
    // One segment's notes together, the plan's first.
    for (size_t k = 0; k < r.plan.clips.size(); ++k) {
        if (!r.plan.clips[k].note.empty()) r.notes.push_back(r.plan.clips[k].note);
        for (const Note& note : captions.notes)
            if (note.segment == k) r.notes.push_back(note.text);
    }

    const Plan& plan = r.plan;
    std::string video_list, audio_list;
    for (const auto& [first, last] : groups(plan.clips.size(), job.source)) {
        bool framed = false;
        for (size_t k = first; k < last; ++k) framed = framed || plan.clips[k].frames > 0;
        if (!framed) continue;  // clips shorter than a frame at this speed: sound only
        const std::string tag = std::to_string(r.groups.size());
        const std::string picture = job.output + ".v" + tag + ".mp4";
        Step step = picture_step(job, plan, first, last, picture, captions.emoji, pictures);
        graph_to_file(r, step, job, "v" + tag);
        video_list += "file " + concat_quoted(file_url(picture)) + "\n";
        r.scratch.push_back(picture);
        r.groups.push_back(std::move(step));
    }
    for (const auto& [first, last] : sound_groups(plan.clips.size())) {
        const std::string tag = std::to_string(r.sounds.size());
        const std::string sound = job.output + ".a" + tag + ".wav";
        Step step = sound_step(job, plan, first, last, sound);
        graph_to_file(r, step, job, "a" + tag);
        audio_list += "file " + concat_quoted(file_url(sound)) + "\n";
        r.scratch.push_back(sound);
        r.sounds.push_back(std::move(step));
    }
    const std::string video_txt = job.output + ".video.txt", audio_txt = job.output + ".audio.txt";
    r.files.emplace_back(video_txt, video_list);
    r.files.emplace_back(audio_txt, audio_list);
    r.scratch.push_back(video_txt);
    r.scratch.push_back(audio_txt);

    // The mix: the sound of the whole recap sped up, normalised and encoded
    // at once, while the pictures are made.
    // loudnorm given less than its 3-second window at the end of its input
    // falls back on a fixed gain and came out 15 LU quiet; trailing silence
    // (cut again below) keeps it in its measuring mode. The silence is an
    // input of its own: made inside the graph after every input has ended,
    // ffmpeg stopped the sound short while loudnorm still waited for it.
    // The music keeps its own tempo: it is mixed in after the speed change.
    const bool music = !job.music.path.empty();
    std::string graph = "[0:a:0]" + common::atempo_chain(plan.speed) + "," + kAudioFormat +
                        (music ? "[voices];" + music_mix(job, plan, 2, "voices", "asped") + ";" : "[asped];");
    const std::string samples = std::to_string(std::llround(plan.duration * kSampleRate));
    if (plan.duration < kLoudnormWindow) {
        // Silence after a recap this short fills most of loudnorm's window,
        // which then lifts the sound over 1 LU too loud: the recap's own
        // sound, repeated, fills the window instead and is cut off after.
        const int copies = static_cast<int>(std::ceil(kLoudnormWindow / std::max(plan.duration, 0.1))) + 1;
        graph += "[asped]asplit=" + std::to_string(copies);
        for (int i = 0; i < copies; ++i) graph += "[rep" + std::to_string(i) + "]";
        graph += ";";
        for (int i = 0; i < copies; ++i) graph += "[rep" + std::to_string(i) + "]";
        graph += "concat=n=" + std::to_string(copies) + ":v=0:a=1," + kLoudnorm + "," + kAudioFormat +
                 ",apad,atrim=end_sample=" + samples + "[aout]";
    } else {
        graph += std::string("[asped][1:a:0]concat=n=2:v=0:a=1,") + kLoudnorm + "," + kAudioFormat +
                 ",apad,atrim=end_sample=" + samples + "[aout]";
    }
    const std::string mixed = job.output + ".m4a";
    r.scratch.push_back(mixed);
    Step& m = r.mix;
    m.graph = graph;
    m.duration = plan.duration;
    m.args = run_head();
    m.args.insert(m.args.end(), {"-f", "concat", "-safe", "0", "-i", file_url(audio_txt), "-f", "lavfi", "-t", "3",
                                 "-i", "anullsrc=r=48000:cl=stereo"});
    for (std::string& e : music_inputs(job, plan)) m.args.push_back(std::move(e));
    m.args.insert(m.args.end(), {"-filter_complex", graph, "-map", "[aout]"});
    for (std::string& e : audio_args()) m.args.push_back(std::move(e));
    m.args.push_back(file_url(mixed));
    graph_to_file(r, m, job, "mix");

    // The finish: the pictures joined and the sound put beside them, as they are.
    Step& f = r.finish;
    f.frames = plan.frames;
    f.duration = plan.duration;
    f.args = run_head();
    f.args.insert(f.args.end(), {"-f", "concat", "-safe", "0", "-i", file_url(video_txt), "-i", file_url(mixed),
                                 "-map", "0:v:0", "-map", "1:a:0", "-c", "copy", "-movflags", "+faststart",
                                 "-map_metadata", "-1", "-map_chapters", "-1", "-f", "mp4"});
    f.args.push_back(file_url(job.output));
    return r;
}

}  // namespace clipweave::studio
