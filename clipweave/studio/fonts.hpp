// Text measured as libass lays it out, and colour emoji as pictures:
// FreeType and HarfBuzz on the font files fontconfig names for the caption
// font and for the colour emoji. Without a font file the widths are upper
// bounds estimated per character, and no emoji has a picture.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace clipweave::studio {

// An RGBA picture, straight (not premultiplied) alpha, row after row.
struct Picture {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgba;
};

class Fonts {
public:
    // text: the caption font's file (DejaVu Sans Bold); emoji: a colour
    // emoji font's (Noto Color Emoji). Either may be empty or unreadable:
    // then that part is estimated or missing.
    Fonts(const std::string& text, const std::string& emoji);
    ~Fonts();
    Fonts(const Fonts&) = delete;
    Fonts& operator=(const Fonts&) = delete;

    // The advance of utf8 in the caption font, in font sizes (libass's
    // size: the font's ascent and descent together); a character the font
    // lacks counts an upper bound of its width in a stand-in font.
    double width(const std::string& utf8) const;

    // Whether a colour emoji font is at hand.
    bool has_emoji_font() const;
    // Whether the emoji font draws the cluster (one emoji: a code point and
    // its modifiers, joiners and selectors) with glyphs of its own.
    bool draws_emoji(const std::string& cluster) const;
    // The cluster's width in font sizes, as the caption font's size.
    double emoji_width(const std::string& cluster) const;
    // The cluster drawn to fill `height` pixels (its line's height), its
    // width in proportion; an empty picture where it cannot be drawn.
    Picture emoji(const std::string& cluster, int height) const;

private:
    struct Face;
    std::unique_ptr<Face> text_;
    std::unique_ptr<Face> emoji_;
};

}  // namespace clipweave::studio
