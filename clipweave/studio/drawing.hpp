// How burned captions and the title look: their sizes, places and styles
// in the frame's safe area, written as ASS events that libass draws, and
// the colour emoji that the render lays over them. captions.cpp decides
// what is shown when; this draws it.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "core.hpp"
#include "fonts.hpp"

namespace clipweave::studio {

// Part of a word as drawn: text in the caption font, a colour emoji, or
// the room between a word and the emoji beside it.
struct Piece {
    enum Kind { Text, Emoji, Gap } kind = Text;
    std::string text;  // Text: as shown; Emoji: the cluster
    double width = 0;  // in font sizes
};

// A word (or a piece of a long one) as drawn.
struct Drawn {
    std::vector<Piece> pieces;
    double width = 0;  // in font sizes
    bool emphasis = false;
};

// A word on a page, and when it is spoken: from start to the next word's
// start (or the page's end), in seconds of the finished video.
struct PageWord {
    const Drawn* drawn = nullptr;
    double start = 0;
    double end = 0;  // when its voice ends: a karaoke fill takes this long
};

class Drawing {
public:
    // fonts must outlive the drawing.
    Drawing(const Frame& frame, const CaptionLook& look, Rational rate, const Fonts& fonts);

    // The room for a line of a page or of a card, in pixels; a line of a
    // page's words (as large as they grow), and a word's share of a card's
    // line and a space's.
    double page_room() const;
    double page_width(const std::vector<const Drawn*>& words) const;
    double space() const { return space_; }  // in font sizes
    double card_room() const;
    double card_slot(const Drawn& d) const;
    double card_space() const;

    // A page of words shown until `end`, each highlighted from its start.
    void page(const std::vector<PageWord>& words, double end);
    // A card of lines shown from start to end.
    void card(const std::vector<std::vector<const Drawn*>>& lines, double start, double end);
    // The title, as words, over the first seconds; what captions are shown
    // with it go below it, so it is drawn first. A note when it had to be
    // drawn small, or empty.
    std::string title(const std::vector<Drawn>& words);

    // The ASS file: its styles and every event drawn.
    std::string ass(const Frame& frame) const;
    std::vector<Picture> pictures;
    std::vector<EmojiShown> emoji;

    struct Kind;  // pages of words, cards or the title on this frame

private:
    struct Block;  // lines of words at a size, placed

    Kind words_kind() const;
    Kind cards_kind() const;
    Kind title_kind(int size) const;
    double grown(const Drawn& d) const;  // the most a spoken word grows
    double overhang(const Drawn& d, int size, bool pops) const;
    double line_width(const std::vector<const Drawn*>& line, int size, bool pops) const;
    Block lay_out(const std::vector<std::vector<const Drawn*>>& lines, const Kind& kind, bool pops,
                  double start) const;
    void word_events(const Block& block, size_t line, size_t word, long long from, long long to,
                     const std::string& tags, const Kind& kind, int layer);
    void word_emoji(const Block& block, size_t line, size_t word, double start, double end);
    void boxes(const Block& block, long long from, long long to, const Kind& kind, const std::string& tags);
    size_t picture(const std::string& cluster, int height);
    long long centis(double seconds) const;  // the ASS time of the frame nearest
    double frame_time(double seconds) const;

    Frame frame_;
    const Fonts* fonts_;
    double space_ = 0;  // a space's width, in font sizes
    CaptionLook look_;
    Rational rate_;
    common::PixelBox safe_;
    double scale_ = 1;
    double title_end_ = 0;     // seconds; 0: no title
    double title_bottom_ = 0;  // pixels: the lowest of the title's ink
    std::string events_;
    std::map<std::pair<std::string, int>, size_t> pictures_by_cluster_;
};

}  // namespace clipweave::studio
