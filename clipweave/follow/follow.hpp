// Subject-following framing: what is seen in a clip's frames (faces, people,
// shot cuts) and, per shot, where a window of the output frame's shape
// stands or moves.
// Plain C++ on OpenCV; follow_module.cpp converts to and from Python.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "../common/frame.hpp"
#include "../common/refusal.hpp"

namespace clipweave::follow {

using Refused = common::Refused;

// Bump when analysis results change, so cached ones are made again.
constexpr int kVersion = 4;

// A box in fractions of the frame (0..1 both ways).
struct Box {
    double x = 0, y = 0, w = 0, h = 0;
    bool face = true;  // else a person
};

// A frame of the small copy: packed BGR rows.
struct Picture {
    const std::uint8_t* bgr = nullptr;
    int width = 0;
    int height = 0;
};

// The size of the small copy analysed, for a frame shown at width x height.
struct Size {
    int width = 0;
    int height = 0;
};
Size analysis_size(int width, int height);

void check_picture(const Picture& p, size_t bytes);

// What cuts are found by: a frame's colour histogram (kHistogramBins
// shares), then its layout (a kLayoutWidth x kLayoutHeight grey copy, 0..1).
constexpr int kHistogramBins = 256;
constexpr int kLayoutWidth = 32, kLayoutHeight = 18;
std::vector<float> signature(const Picture& p);

// Faces, by the face model at face_model (BlazeFace in ONNX), or where that
// is empty by the Haar cascades in cascade_dir (frontal and profile); people
// where no face is found. What they are read from is read once.
std::vector<Box> detect(const Picture& p, const std::string& cascade_dir, const std::string& face_model);

enum class Kind { Still, Track, Wide, Blur };

// Where the window's centre is, as a fraction of the frame along the axis
// the window can move, at seconds from the range's start.
struct Key {
    double t = 0;
    double centre = 0.5;
};

struct Shot {
    double start = 0;  // seconds from the range's start
    double end = 0;
    Kind kind = Kind::Blur;
    std::string reason;  // why, in a few words
    // Still and Wide: one key; Track: a key at each frame where the window's
    // speed changes, and at the shot's end; Blur: the middle, where a short
    // of cropped shots shows one.
    std::vector<Key> path;
    // Wide: the window's share of the frame along its free axis (more than
    // the output's shape allows; shown over the blurred fill). Blur: 1 where
    // subjects were found that take nearly the whole picture.
    double width = 0;
};

struct Frames {
    std::vector<double> times;                     // of every frame, seconds from the range's start
    std::vector<std::vector<float>> signatures;    // one per frame
    std::vector<int> sampled;                      // frame indices that were searched, ascending
    std::vector<std::vector<Box>> found;           // per sampled frame
    double duration = 0;                           // of the range
    double aspect = 16.0 / 9.0;                    // shown width / height
    common::Frame window = common::kDefaultFrame;   // the output's: the window's shape
    // Share of a shot's samples a subject must be seen in for it to be
    // followed (auto); 0 follows any subject seen.
    double presence = 0;
};

// The shots of a range and the framing of each.
std::vector<Shot> plan(const Frames& frames);

// Indices of the frames that start a new shot (not 0).
std::vector<size_t> cuts(const std::vector<std::vector<float>>& signatures);

// The window's share of the frame along its free axis, for a frame of
// aspect and a window of window (width / height): the window is the
// frame's height tall on a wider frame, its width wide on a taller one; 1
// for a frame of the window's shape.
double window_share(double aspect, double window);
bool moves_across(double aspect, double window);  // the window moves along x, else along y

}  // namespace clipweave::follow
