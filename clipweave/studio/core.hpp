// The studio render's logic: planning the clips, the caption text and the
// ffmpeg runs that make the finished video. Plain C++: core_module.cpp
// converts to and from these structs for Python.
#pragma once

#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "../common/frame.hpp"
#include "../common/refusal.hpp"
#include "fonts.hpp"

namespace clipweave::studio {

// What the caller asked for that cannot be done; the module's entry points
// (py::entry) make it a ValueError with this one-line message.
using Refused = common::Refused;

struct Rational {
    long long num = 0;
    long long den = 1;
    double value() const { return static_cast<double>(num) / static_cast<double>(den); }
};

enum class Fit { Narration, Range };
enum class Framing { Blur, Crop, Fit };
// Words: pages of a few words, the one being spoken highlighted; Phrases:
// cards of up to two lines. Both are burned in and kept as SRT.
enum class CaptionMode { Words, Phrases, Srt, None };
// How burned captions look: today's bold outlined text; text on a rounded
// translucent box; each word filling with the highlight as it is spoken;
// the spoken word growing for a moment; smaller text with a soft shadow.
enum class Look { Bold, Boxed, Karaoke, Pop, Minimal };
// Where in the safe area captions stand.
enum class Placement { Lower, Middle, Upper };
// The part of the frame captions and the title keep to: what every big
// vertical platform leaves uncovered, or today's wider box.
enum class SafeArea { Platforms, Wide };
enum class Quality { Fast, Balanced, Small };

// The output frame: one of common::kFrames, chosen by the job.
using common::Frame;
constexpr int kSampleRate = 48000;
constexpr double kMaxRate = 60.0;
constexpr double kMinSpeed = 0.5;
constexpr double kMaxSpeed = 100.0;
// The source's own sound under a narration, in dB.
constexpr double kMinBedVolume = -60.0;
constexpr double kMaxBedVolume = 0.0;
// Music against the narration, in dB; music shorter than kMinMusicSeconds
// is not looped.
constexpr double kMinMusicVolume = -60.0;
constexpr double kMaxMusicVolume = 0.0;
constexpr double kMinMusicSeconds = 1.0;

struct Segment {
    double start = 0;
    double end = 0;
};

// Where a narration's sound begins and ends in its own file, in seconds;
// NaN where that is not known (the whole file is taken as sound).
struct Sound {
    double start = std::nan("");
    double end = std::nan("");
};

struct PlanInput {
    std::vector<Segment> segments;
    std::vector<double> narration_seconds;  // one per segment
    // Per segment, where its narration's sound lies in the file; empty: unknown.
    std::vector<Sound> narration_sound;
    double source_seconds = 0;
    // Where the source's picture ends (its last frame's end); 0: with the source.
    double video_seconds = 0;
    // Per segment, whether the source is silent over what follows its
    // narration in its range; empty: nowhere known to be.
    std::vector<bool> silent_tails;
    Fit fit = Fit::Narration;
    double speed = 1.0;
    Rational source_rate{30, 1};
};

// Times in seconds. "Source" times run at the source's pace; "out" times
// are on the finished video's timeline, after the speed change. A clip
// longer than the source it may show (its range, and the time after and
// before it that no other segment shows) shows that source slowed down.
struct ClipPlan {
    double source_start = 0;    // the segment's start, or earlier: before
    double range = 0;           // end - start as asked
    double length = 0;          // the clip before the speed change, hold included
    double source_part = 0;     // seconds of the source it shows
    double hold = 0;            // of length, the last frame held (no picture left to show)
    double pace = 1;            // source_part / (length - hold): below 1, slowed
    double after = 0;           // of source_part, from after the range
    double before = 0;          // of source_part, from before the range
    double narration = 0;       // the narration as heard: its sound, a natural pause either side
    double narration_skip = 0;  // seconds of silence skipped at the head of its file
    double narration_used = 0;  // what of narration is heard
    double start_at = 0;        // offset in the joined clips, before the speed change
    double out_start = 0;       // offset in the finished video
    double out_length = 0;
    long long first_frame = 0;  // of the finished video
    long long frames = 0;       // video frames of this clip in the finished video
    long long samples = 0;      // audio samples at 48 kHz before the speed change
    std::string note;           // empty when nothing was adjusted
};

struct Plan {
    std::vector<ClipPlan> clips;
    Rational rate;          // output frame rate
    double speed = 1.0;
    double length = 0;      // sum of clip lengths, source timeline
    long long frames = 0;   // of the finished video
    double duration = 0;    // frames / rate
};

// Checks and lays out the clips; Refused names the segment at fault.
Plan make_plan(const PlanInput& in);

// The output rate for a source rate played at speed: the source's own, at
// most 60; a source under the film rate gets the lowest standard rate that
// shows each of its frames equally often (30 where none does).
Rational output_rate(Rational source, double speed = 1.0);

// --- captions ----------------------------------------------------------------

struct Colour {
    std::uint8_t r = 255, g = 255, b = 255;
};
// A CSS colour name (any case) or #rrggbb; Refused naming `what` otherwise.
Colour parse_colour(const std::string& text, const std::string& what);
std::string colour_text(Colour c);  // "#rrggbb"
std::string ass_colour(Colour c);   // "&HBBGGRR&"

// A narration's text with its emphasis markers read: *a word or phrase*
// is emphasised, \* is an asterisk, an asterisk that pairs with none is
// text. `text` is what is spoken and shown.
struct Marked {
    std::string text;
    std::vector<bool> emphasis;  // per byte of text
};
Marked read_marks(const std::string& utf8);

struct CaptionLook {
    Look look = Look::Bold;
    Placement placement = Placement::Lower;
    SafeArea safe = SafeArea::Platforms;
    Colour highlight{255, 255, 0};  // the word being spoken
    Colour accent{0, 191, 255};     // an emphasised word (deepskyblue)
    std::string title;              // shown over the first seconds; empty: none
    // Font files: the captions' (measured as libass draws it) and the
    // colour emoji's; empty: widths estimated, emoji left out.
    std::string text_font;
    std::string emoji_font;
};

// How long the title stays, and how long it takes to fade out.
constexpr double kTitleSeconds = 2.5;
constexpr double kTitleFade = 0.3;

// The cards' lines: at most line_chars code points (30 on the default
// frame), max_lines of them.
struct CaptionStyle {
    int line_chars = 30;
    int max_lines = 2;
};

// A narration's text cut into caption chunks; the lines of a chunk are
// joined by '\n'. Whitespace runs (line feeds included) separate words.
std::vector<std::string> chunk_text(const std::string& utf8, const CaptionStyle& style);

struct Cue {
    double start = 0;  // seconds on the finished video's timeline
    double end = 0;
    std::string text;  // lines joined by '\n', as shown
};

// A written word of a narration and when it is spoken, in seconds of the
// narration's own audio.
struct WordTime {
    std::string text;
    double start = 0;
    double end = 0;
};

// A word as heard in the finished video.
struct ShownWord {
    std::string text;
    double start = 0;  // seconds on the finished video's timeline
    double end = 0;
    int segment = 0;   // counted from 1
};

// The code points some installed font can draw; unknown draws everything.
struct Coverage {
    bool known = false;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> ranges;  // sorted, disjoint, inclusive
    bool has(std::uint32_t c) const;
};

// Coverage from font charsets as fontconfig writes them, one font a line
// ("20-7e a0-17f 2010"); empty text is unknown coverage.
Coverage parse_coverage(const std::string& charsets);

struct Note {
    size_t segment = 0;  // counted from 0
    std::string text;
};

// A colour emoji laid over the picture, where libass draws no colour.
struct EmojiShown {
    size_t picture = 0;  // of Captions::pictures
    int x = 0, y = 0;    // its top left corner, in the frame's pixels
    double start = 0;    // seconds of the finished video, on frames' times
    double end = 0;
};

struct Captions {
    std::vector<Cue> cues;         // the phrase cards, as the SRT holds them
    std::vector<ShownWord> words;  // every word heard
    std::vector<Note> notes;       // characters left out, word times not used
    std::string srt;               // empty unless captions are kept
    std::string ass;               // empty unless captions or a title are burned
    std::vector<Picture> pictures; // the colour emoji drawn
    std::vector<EmojiShown> emoji; // where and when each is shown
};

// The captions of every narration: its words timed by words[i] (empty: by
// their share of its characters), only those heard, on the finished
// video's timeline, laid out for the frame inside its safe area as `look`
// says, with its title. Emphasis markers are read from the texts.
Captions make_captions(const Plan& plan, const std::vector<std::string>& texts,
                       const std::vector<std::vector<WordTime>>& words, CaptionMode mode,
                       const Coverage& coverage, const Frame& frame = common::kDefaultFrame,
                       const CaptionLook& look = {});

std::string srt_text(const std::vector<Cue>& cues);

// Word times per narration (in seconds of its file) as its clip plays them:
// from the sound's trimmed head on.
std::vector<std::vector<WordTime>> heard_times(const Plan& plan, const std::vector<std::vector<WordTime>>& words);

// Whether the captions are burned into the picture.
bool burned(CaptionMode mode);

// Text as an ASS event shows it literally: override blocks, \N, \h and the
// other escapes lose their meaning; a line feed becomes a line break.
std::string ass_escape(const std::string& utf8);

// --- the ffmpeg runs -------------------------------------------------------------

struct Source {
    std::string path;
    double seconds = 0;
    double video_seconds = 0;  // where the picture ends; 0: with the source
    int width = 0;  // as stored; rotation says how it is shown
    int height = 0;
    int rotation = 0;       // degrees
    Rational sar{1, 1};     // sample (pixel) aspect ratio
    Rational rate{30, 1};
    bool has_audio = false;
    std::string matrix;  // the colour matrix as ffprobe names it; empty: untagged
};

// One shot of a clip under the subject-following framing. Times are
// seconds from the clip's start on the source's timeline; a key's centre is
// the centre of the window (of the output frame's shape) as a fraction of
// the shown frame along the axis it can move on (across a wider frame, down
// a taller one). A shot runs to the next one's start, the last to the
// clip's end.
struct FollowKey {
    double t = 0;
    double centre = 0.5;
};
struct FollowShot {
    double start = 0;
    bool blur = false;            // the blur framing, no window
    std::vector<FollowKey> path;  // ascending t; one key holds still
    // A still window wider than the output's shape (its share of the shown
    // frame along the free axis), shown over the blurred fill; 0: none.
    double width = 0;
};

// Music under the whole recap: looped or cut to it, lowered further
// while a narration speaks.
struct Music {
    std::string path;  // empty: none
    double seconds = 0;
    double lufs = 0;   // its measured loudness; NaN: unknown
    double volume_db = -20.0;  // against the narration
};

struct Job {
    Source source;
    std::vector<Segment> segments;
    std::vector<std::string> narrations;      // audio files, one per segment
    std::vector<double> narration_seconds;
    std::vector<double> narration_lufs;       // measured loudness, NaN if unknown; or empty
    std::vector<Sound> narration_sound;       // as PlanInput's
    std::vector<std::string> texts;
    std::vector<bool> silent_tails;  // as PlanInput's
    Fit fit = Fit::Narration;
    Framing framing = Framing::Blur;
    std::vector<Framing> framings;  // per segment, or empty: framing for all
    Frame frame = common::kDefaultFrame;  // the finished video's
    // Per segment, its shots' windows; a segment without shots (or none
    // given) is framed as framing says.
    std::vector<std::vector<FollowShot>> follow;
    CaptionMode captions = CaptionMode::Words;
    CaptionLook look;  // how burned captions look, and the title
    Music music;
    std::vector<std::vector<WordTime>> words;  // per segment; empty: unknown
    Coverage coverage;
    Quality quality = Quality::Balanced;
    bool has_bed = true;
    double bed_volume_db = -18.0;
    double speed = 1.0;
    std::string encoder = "libx264";
    std::string captions_file;  // the ASS file's name in the work directory
    // The file the finished video is written to, in the work directory;
    // the groups' files are named after it.
    std::string output;
    std::string graph_file;     // where a graph too long for the command line goes
};

// One ffmpeg run of the render.
struct Step {
    std::vector<std::string> args;
    std::string graph;    // its -filter_complex text
    long long frames = 0;  // of the finished video it makes
    double duration = 0;   // seconds of media it writes, for its progress
};

struct Render {
    Plan plan;
    std::vector<Cue> cues;
    std::vector<ShownWord> words;
    std::vector<std::string> notes;  // the plan's and the captions', in segment order
    std::string srt;    // empty unless captions are kept
    std::string ass;    // empty unless captions are burned
    // The clips' pictures in bounded groups, each rendered by a run of its
    // own (any two side by side) as H.264. Beside them, in a line of their
    // own: the clips' sound in runs of at most kMaxGroupClips, as PCM, then
    // the mix, which speeds up, normalises and encodes the sound of the
    // whole recap once. The finish joins the pictures and puts the sound
    // beside them, by stream copy.
    std::vector<Step> groups;
    std::vector<Step> sounds;
    Step mix;
    Step finish;
    // Files the caller writes into the work directory before the runs
    // (name, text): the join lists and any graph too long for a command line.
    std::vector<std::pair<std::string, std::string>> files;
    // ... and (name, bytes): the colour emoji's pictures, as PAM images.
    std::vector<std::pair<std::string, std::string>> images;
    // Every file the runs write but the finished video; the caller removes them.
    std::vector<std::string> scratch;
};

Render prepare(const Job& job);

// Whether the render burns an ASS file in: captions or a title.
bool burns(const Job& job);

// The music's inputs of the finish (arguments), and its filters: the music
// looped with crossfades or cut to the recap, faded in and out, at its
// volume and lowered while a narration speaks, mixed under [in] as [out].
// Refused where the music is too short to loop over the recap.
std::vector<std::string> music_inputs(const Job& job, const Plan& plan);
std::string music_mix(const Job& job, const Plan& plan, size_t first_input, const std::string& in,
                      const std::string& out);
// How much lower the music is while a narration speaks, in dB.
constexpr double kMusicDuck = 14.0;

// Burning in, over a group's frames [from, to) on the finished video's
// timeline at `rate` frames a second: the ASS file drawn by libass, then
// the colour emoji shown among them laid over it, read from inputs from
// first_input on (their arguments are added to inputs). From [in] to [out].
std::string burn_in(const Job& job, const std::vector<EmojiShown>& emoji, const std::vector<std::string>& pictures,
                    double rate, double from, double to, size_t first_input, std::vector<std::string>& inputs,
                    const std::string& in, const std::string& out);
// A picture as a PAM image (RGBA) that ffmpeg reads.
std::string pam_image(const Picture& picture);
// An input or output for ffmpeg: the file protocol, so that no name is
// read as an option or another protocol.
std::string file_url(const std::string& path);

// The frame as it is shown (rotation and pixel aspect applied), in pixels.
struct Size {
    int width = 0;
    int height = 0;
};
Size displayed_size(const Source& source);

// Option-value escaping, then graph escaping: value reaches the filter
// exactly as given.
std::string filter_arg(const std::string& value);

// Refused unless encoder is libx264 or h264_nvenc.
void check_encoder(const std::string& encoder);

// What is wrong with the name of a finished video (the bytes the file
// system gets), or empty: it must be a plain, visible file name in the
// work directory ending in .mp4.
std::string output_name_fault(const std::string& name);

// The encoder's options and the output's container options.
std::vector<std::string> encode_args(const std::string& encoder, Quality quality);
// The picture's part of them: H.264 High, yuv420p, tagged BT.709.
std::vector<std::string> video_args(const std::string& encoder, Quality quality);
// The sound's and the container's part.
std::vector<std::string> audio_args();

// A tiny encode that succeeds only where the hardware encoder works.
std::vector<std::string> hardware_probe_args();

// --- numbers as text ---------------------------------------------------------------

// Fixed-point text, locale-independent, trailing zeros dropped ("1.25", "3").
std::string number(double v, int decimals = 6);

}  // namespace clipweave::studio
