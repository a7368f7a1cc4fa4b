// The finished video's frame: the shapes a recap can take, their sizes, and
// the part of a frame that captions keep to. The studio draws into it; the
// subject-following framing cuts windows of its shape.
#pragma once

#include <cmath>
#include <string>

namespace clipweave::common {

struct Frame {
    const char* name = "";  // its shape, as --aspect names it
    int width = 0;
    int height = 0;
    double aspect() const { return static_cast<double>(width) / static_cast<double>(height); }
};

// The shapes, the default first. Python's table of options lists the same
// names (clipweave.studio checks them at import).
inline constexpr Frame kFrames[] = {
    {"9:16", 1080, 1920},
    {"4:5", 1080, 1350},
    {"1:1", 1080, 1080},
    {"16:9", 1920, 1080},
};
inline constexpr const Frame& kDefaultFrame = kFrames[0];

// The frame of a name, or nullptr.
inline const Frame* frame_named(const std::string& name) {
    for (const Frame& f : kFrames)
        if (name == f.name) return &f;
    return nullptr;
}

// The part of a frame that the apps showing it leave uncovered (their
// buttons and titles lie over the rest), as shares of its width and height.
struct Shares {
    double left = 0, top = 0, right = 0, bottom = 0;
};
// What none of the big vertical platforms covers: the top 15 %, the bottom
// 35 %, the sides and the column of buttons on the right (on 1080x1920,
// x 120-888 and y 288-1248).
inline constexpr Shares kSafeShares{120.0 / 1080, 0.15, 888.0 / 1080, 0.65};
// A wider box, for posting elsewhere: the top 15 %, the bottom 20 % and
// a tenth of each side.
inline constexpr Shares kWideSafeShares{0.1, 0.15, 0.9, 0.8};

// A box of whole pixels: [left, right) x [top, bottom).
struct PixelBox {
    int left = 0, top = 0, right = 0, bottom = 0;
    int width() const { return right - left; }
    int height() const { return bottom - top; }
};

inline PixelBox safe_area(const Frame& f, const Shares& shares = kSafeShares) {
    auto at = [](double share, int size) { return static_cast<int>(std::lround(share * size)); };
    return {at(shares.left, f.width), at(shares.top, f.height), at(shares.right, f.width),
            at(shares.bottom, f.height)};
}

}  // namespace clipweave::common
