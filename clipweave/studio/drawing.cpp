// Burned captions and the title as ASS events, each piece of text placed
// by itself: the layout is measured here (fonts.hpp), so a line never
// wraps where libass would, every pixel stays inside the safe area, a
// spoken word grows about its own centre, and a colour emoji has room of
// its own beside its word.
//
// Sizes are designed on the default frame and follow the frame's short
// side. Times are those of the frames nearest: an event starts on the
// frame nearest its word's onset (a frame's time in whole milliseconds is
// all libass is given, so its centiseconds are taken a little earlier).
#include "drawing.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

namespace clipweave::studio {
namespace {

// The design's numbers, on the default frame, per look: the font sizes of
// pages of words, of phrase cards and of the title; outlines and shadows.
struct Design {
    int words, cards, title;
    int outline, shadow;  // of words; cards and the title scale them by size
    double box_x, box_y, radius;  // boxed: padding and corner, in font sizes
    double blur;                  // minimal: the shadow's softness, in pixels
};
constexpr Design kBold{88, 62, 104, 7, 3, 0, 0, 0, 0};
constexpr Design kBoxed{80, 60, 96, 0, 0, 0.3, 0.06, 0.28, 0};
constexpr Design kMinimal{72, 54, 96, 3, 4, 0, 0, 0, 4};

const Design& design_of(Look look) {
    switch (look) {
        case Look::Boxed: return kBoxed;
        case Look::Minimal: return kMinimal;
        default: return kBold;
    }
}

// A spoken word under the pop look: how large it grows, and how large an
// emphasised one grows and stays while it is spoken.
constexpr double kPop = 1.15;
constexpr double kPopEmphasis = 1.25;
constexpr double kEmphasisStays = 1.12;
constexpr int kPopHold = 80, kPopEnd = 120;  // milliseconds
// Room between lines of boxes, and between the title and the captions, in font sizes.
constexpr double kBoxGap = 0.08;
constexpr double kTitleGap = 0.25;
// A box's opacity as ASS alpha (0 opaque, 255 clear), and a soft shadow's.
constexpr const char kBoxAlpha[] = "60";
constexpr const char kSoftShadowAlpha[] = "70";
// The share of the upper third the title keeps to.
constexpr double kTitleSpan = 1.0 / 3.0;
// Below this share of its designed size a title is noted as small.
constexpr double kSmallTitle = 0.6;

std::string ass_time(long long cs) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "%lld:%02lld:%02lld.%02lld", cs / 360000, cs / 6000 % 60, cs / 100 % 60,
                  cs % 100);
    return buf;
}

std::string dialogue(int layer, long long from, long long to, const char* style, const std::string& text) {
    return "Dialogue: " + std::to_string(layer) + "," + ass_time(from) + "," + ass_time(to) + "," + style +
           ",,0,0,0,," + text + "\n";
}

std::string px(double v) { return std::to_string(std::lround(v)); }

// A rounded rectangle w x h with corners of radius r, as an ASS drawing.
std::string rounded_box(double w, double h, double r) {
    r = std::min({r, w / 2, h / 2});
    const double k = r * (1 - 0.5523);  // a quarter circle's control points
    auto p = [](double x, double y) { return px(x) + " " + px(y) + " "; };
    return "m " + p(r, 0) + "l " + p(w - r, 0) + "b " + p(w - k, 0) + p(w, k) + p(w, r) + "l " + p(w, h - r) +
           "b " + p(w, h - k) + p(w - k, h) + p(w - r, h) + "l " + p(r, h) + "b " + p(k, h) + p(0, h - k) +
           p(0, h - r) + "l " + p(0, r) + "b " + p(0, k) + p(k, 0) + p(r, 0);
}

}  // namespace

// What one kind of text (pages of words, cards, the title) looks like on
// this frame, in its pixels.
struct Drawing::Kind {
    const char* style = "";
    int size = 0;
    int outline = 0, shadow = 0;
    int style_size = 0, style_outline = 0, style_shadow = 0;  // the ASS style's
    double pop = 1;             // the largest a spoken word grows
    int left = 0, right = 0, top = 0, bottom = 0;  // ink beyond the text's box
    double room = 0;            // a line's width, pixels
    double centre = 0;          // of the lines, x
    bool boxed = false;
    double box_x = 0, box_y = 0, radius = 0;  // pixels at size
    double blur = 0;

    double pitch() const { return size * (boxed ? 1 + 2 * box_y / size + kBoxGap : 1.0); }
};

namespace {

// A kind on a frame: its size, and the ink its outline, shadow, box or a
// grown word adds to the text's box, for the room it leaves.
template <class KindT>
KindT make_kind(const char* style, int size, const Design& d, double outline_share, double scale, double pop,
                const common::PixelBox& safe) {
    KindT k;
    k.style = style;
    k.size = size;
    k.pop = pop;
    const double share = outline_share * scale;
    k.outline = d.outline > 0 ? std::max(1, static_cast<int>(std::lround(d.outline * share))) : 0;
    k.shadow = d.shadow > 0 ? std::max(1, static_cast<int>(std::lround(d.shadow * share))) : 0;
    k.boxed = d.box_x > 0;
    k.box_x = d.box_x * size;
    k.box_y = d.box_y * size;
    k.radius = d.radius * size;
    k.blur = d.blur * scale;
    if (k.boxed) {
        k.left = k.right = static_cast<int>(std::ceil(k.box_x)) + 2;
        k.top = k.bottom = static_cast<int>(std::ceil(k.box_y)) + 2;
    } else {
        // A soft shadow spreads about three times its blur; glyphs overhang
        // their box by a few pixels.
        const int spread = static_cast<int>(std::ceil(3 * k.blur));
        k.left = k.top = k.outline + spread + 3;
        k.right = k.bottom = k.outline + k.shadow + spread + 3;
    }
    k.room = safe.width() - k.left - k.right;
    k.centre = (safe.left + k.left + safe.right - k.right) / 2.0;
    k.style_size = k.size;
    k.style_outline = k.outline;
    k.style_shadow = k.shadow;
    return k;
}

}  // namespace

struct Drawing::Block {
    struct Word {
        const Drawn* drawn = nullptr;
        double left = 0;   // its text box's left, pixels
        double scale = 1;  // the most it grows
    };
    struct Line {
        std::vector<Word> words;
        double bottom = 0;  // of its text box
        double left = 0, width = 0;
    };
    int size = 0;
    std::vector<Line> lines;
};

Drawing::Drawing(const Frame& frame, const CaptionLook& look, Rational rate, const Fonts& fonts)
    : frame_(frame), fonts_(&fonts), space_(fonts.width(" ")), look_(look), rate_(rate) {
    const Frame& design = common::kDefaultFrame;
    scale_ = static_cast<double>(std::min(frame.width, frame.height)) / std::min(design.width, design.height);
    safe_ = common::safe_area(frame, look.safe == SafeArea::Platforms ? common::kSafeShares : common::kWideSafeShares);
}

// --- sizes -------------------------------------------------------------------------------------

namespace {
int sized(int designed, double scale) { return std::max(8, static_cast<int>(std::lround(designed * scale))); }
}  // namespace

Drawing::Kind Drawing::words_kind() const {
    const Design& d = design_of(look_.look);
    const double pop = look_.look == Look::Pop ? kPopEmphasis : 1.0;
    Kind k = make_kind<Kind>("Words", sized(d.words, scale_), d, 1.0, scale_, pop, safe_);
    return k;
}

Drawing::Kind Drawing::cards_kind() const {
    const Design& d = design_of(look_.look);
    return make_kind<Kind>("Caption", sized(d.cards, scale_), d, static_cast<double>(d.cards) / d.words, scale_, 1.0,
                           safe_);
}

Drawing::Kind Drawing::title_kind(int size) const {
    const Design& d = design_of(look_.look);
    Kind k = make_kind<Kind>("Title", size, d, static_cast<double>(size) / (d.words * scale_), scale_, 1.0, safe_);
    // The style is the designed size's; a title drawn smaller says its own.
    const int designed = sized(d.title, scale_);
    const Kind style = make_kind<Kind>("Title", designed, d, static_cast<double>(designed) / (d.words * scale_),
                                       scale_, 1.0, safe_);
    k.style_size = style.size;
    k.style_outline = style.outline;
    k.style_shadow = style.shadow;
    return k;
}

double Drawing::page_room() const { return words_kind().room; }
double Drawing::card_room() const { return cards_kind().room; }

double Drawing::page_width(const std::vector<const Drawn*>& words) const {
    return line_width(words, words_kind().size, look_.look == Look::Pop);
}
double Drawing::card_slot(const Drawn& d) const { return d.width * cards_kind().size; }
double Drawing::card_space() const { return space_ * cards_kind().size; }

double Drawing::grown(const Drawn& d) const {
    if (look_.look != Look::Pop) return 1.0;
    return d.emphasis ? kPopEmphasis : kPop;
}

// Room a spoken word takes beyond its box on either side as it grows
// about its centre (one word grows at a time), in pixels at size.
double Drawing::overhang(const Drawn& d, int size, bool pops) const {
    return pops ? (grown(d) - 1) / 2 * d.width * size : 0.0;
}

// A line of words at size: their boxes, the spaces between them, and the
// room each takes as it grows.
double Drawing::line_width(const std::vector<const Drawn*>& line, int size, bool pops) const {
    if (line.empty()) return 0;
    double w = overhang(*line.front(), size, pops) + overhang(*line.back(), size, pops);
    for (size_t i = 0; i < line.size(); ++i) {
        w += line[i]->width * size;
        if (i > 0) w += space_ * size + std::max(overhang(*line[i - 1], size, pops), overhang(*line[i], size, pops));
    }
    return w;
}

// --- times -------------------------------------------------------------------------------------

double Drawing::frame_time(double seconds) const {
    const double f = std::max(0.0, std::round(seconds * rate_.value()));
    return f / rate_.value();
}

long long Drawing::centis(double seconds) const {
    // libass is given the frame's time truncated to whole milliseconds:
    // a millisecond earlier, in whole centiseconds, is never after it and
    // always after the frame before (at most 60 a second).
    const double ms = frame_time(seconds) * 1000.0;
    return std::max(0LL, static_cast<long long>(std::floor((ms - 1.0) / 10.0)));
}

// --- layout ------------------------------------------------------------------------------------

Drawing::Block Drawing::lay_out(const std::vector<std::vector<const Drawn*>>& lines, const Kind& kind, bool pops,
                                double start) const {
    Block b;
    b.size = kind.size;
    double widest = 0;
    for (const auto& line : lines) widest = std::max(widest, line_width(line, kind.size, pops));
    if (widest > kind.room) {
        b.size = std::max(8, static_cast<int>(std::floor(kind.size * kind.room / widest)));
        while (b.size > 8 && [&] {
            for (const auto& line : lines)
                if (line_width(line, b.size, pops) > kind.room) return true;
            return false;
        }())
            --b.size;
    }
    const double shrink = static_cast<double>(b.size) / kind.size;
    const double pitch = kind.pitch() * shrink;
    const double height = pitch * (static_cast<double>(lines.size()) - 1) + b.size;
    const double grow = pops ? (kind.pop - 1) * b.size : 0.0;
    double bottom = 0;  // of the last line's text box
    switch (look_.placement) {
        case Placement::Lower:
            bottom = safe_.bottom - kind.bottom;
            break;
        case Placement::Upper:
            bottom = safe_.top + kind.top + grow + height;
            break;
        case Placement::Middle:
            bottom = (safe_.top + safe_.bottom) / 2.0 + height / 2;
            break;
    }
    // Never under the title: what is shown with it goes below it.
    if (title_end_ > 0 && frame_time(start) < frame_time(title_end_)) {
        const double top = bottom - height - kind.top - grow;
        const double clear = title_bottom_ + kTitleGap * kind.size;
        if (top < clear) bottom = std::min<double>(bottom + clear - top, safe_.bottom - kind.bottom);
    }
    for (size_t i = 0; i < lines.size(); ++i) {
        Block::Line line;
        line.bottom = bottom - pitch * static_cast<double>(lines.size() - 1 - i);
        line.width = line_width(lines[i], b.size, pops);
        line.left = kind.centre - line.width / 2;
        double x = line.left;
        for (size_t w = 0; w < lines[i].size(); ++w) {
            const Drawn* d = lines[i][w];
            x += w == 0 ? overhang(*d, b.size, pops)
                        : space_ * b.size + std::max(overhang(*lines[i][w - 1], b.size, pops), overhang(*d, b.size, pops));
            line.words.push_back({d, x, pops ? grown(*d) : 1.0});
            x += d->width * b.size;
        }
        b.lines.push_back(std::move(line));
    }
    return b;
}

size_t Drawing::picture(const std::string& cluster, int height) {
    const auto key = std::make_pair(cluster, height);
    auto it = pictures_by_cluster_.find(key);
    if (it != pictures_by_cluster_.end()) return it->second;
    pictures.push_back(fonts_->emoji(cluster, height));
    pictures_by_cluster_.emplace(key, pictures.size() - 1);
    return pictures.size() - 1;
}

// The events of one word's text pieces over [from, to) with tags; its
// emoji are shown from start to end (seconds) where `emoji_too`.
void Drawing::word_events(const Block& block, size_t line, size_t word, long long from, long long to,
                          const std::string& tags, const Kind& kind, int layer) {
    if (to <= from) return;
    const Block::Word& w = block.lines[line].words[word];
    double x = w.left;
    for (const Piece& p : w.drawn->pieces) {
        const double width = p.width * block.size;
        if (p.kind == Piece::Text && !p.text.empty()) {
            std::string head = "{\\an2\\pos(" + px(x + width / 2) + "," + px(block.lines[line].bottom) + ")";
            if (block.size != kind.style_size) {
                // Smaller than its style: its outline and shadow in proportion.
                const double shrink = static_cast<double>(block.size) / kind.style_size;
                head += "\\fs" + std::to_string(block.size);
                if (kind.style_outline > 0) head += "\\bord" + number(std::max(1.0, kind.style_outline * shrink), 1);
                if (kind.style_shadow > 0) head += "\\shad" + number(std::max(1.0, kind.style_shadow * shrink), 1);
            }
            if (kind.blur > 0) head += "\\blur" + number(kind.blur, 1);
            events_ += dialogue(layer, from, to, kind.style, head + tags + "}" + ass_escape(p.text));
        }
        x += width;
    }
}

void Drawing::word_emoji(const Block& block, size_t line, size_t word, double start, double end) {
    const Block::Word& w = block.lines[line].words[word];
    double x = w.left;
    for (const Piece& p : w.drawn->pieces) {
        const double width = p.width * block.size;
        if (p.kind == Piece::Emoji) {
            EmojiShown e;
            e.picture = picture(p.text, block.size);
            e.x = static_cast<int>(std::lround(x));
            e.y = static_cast<int>(std::lround(block.lines[line].bottom)) - block.size;
            e.start = frame_time(start);
            e.end = frame_time(end);
            if (e.end > e.start && pictures[e.picture].width > 0) emoji.push_back(e);
        }
        x += width;
    }
}

void Drawing::boxes(const Block& block, long long from, long long to, const Kind& kind, const std::string& tags) {
    if (!kind.boxed || to <= from) return;
    const double shrink = static_cast<double>(block.size) / kind.size;
    const double bx = kind.box_x * shrink, by = kind.box_y * shrink;
    for (const Block::Line& line : block.lines) {
        const double w = line.width + 2 * bx, h = block.size + 2 * by;
        events_ += dialogue(0, from, to, "Box",
                            "{\\an7\\pos(" + px(line.left - bx) + "," + px(line.bottom - block.size - by) + ")" +
                                tags + "\\p1}" + rounded_box(w, h, kind.radius * shrink) + "{\\p0}");
    }
}

// --- pages, cards and the title -----------------------------------------------------------------

void Drawing::page(const std::vector<PageWord>& words, double end) {
    if (words.empty()) return;
    const Kind kind = words_kind();
    std::vector<const Drawn*> line;
    for (const PageWord& w : words) line.push_back(w.drawn);
    // A page that is too wide for one line takes two.
    std::vector<std::vector<const Drawn*>> lines{line};
    auto width = [&](size_t from, size_t to) {
        return page_width({line.begin() + static_cast<long>(from), line.begin() + static_cast<long>(to)});
    };
    if (line.size() > 1 && width(0, line.size()) > kind.room) {
        size_t best = 1;
        for (size_t cut = 1; cut < line.size(); ++cut)
            if (std::max(width(0, cut), width(cut, line.size())) <
                std::max(width(0, best), width(best, line.size())))
                best = cut;
        lines = {{line.begin(), line.begin() + static_cast<long>(best)},
                 {line.begin() + static_cast<long>(best), line.end()}};
    }
    const Block block = lay_out(lines, kind, look_.look == Look::Pop, words.front().start);
    const long long page_from = centis(words.front().start), page_to = centis(end);
    boxes(block, page_from, page_to, kind, "");
    std::vector<long long> at;  // when each word's turn starts, and the page's end
    for (const PageWord& w : words) at.push_back(centis(w.start));
    at.push_back(page_to);
    const std::string white = "\\1c&HFFFFFF&";
    size_t k = 0;
    for (size_t l = 0; l < block.lines.size(); ++l)
        for (size_t i = 0; i < block.lines[l].words.size(); ++i, ++k) {
            const PageWord& w = words[k];
            const std::string colour = ass_colour(w.drawn->emphasis ? look_.accent : look_.highlight);
            std::string spoken = "\\1c" + colour;
            std::string after = white;
            if (look_.look == Look::Karaoke) {
                const long long fill = std::clamp(centis(w.end) - at[k], 1LL, std::max(1LL, at[k + 1] - at[k]));
                spoken = "\\kf" + std::to_string(fill) + "\\1c" + colour + "\\2c&HFFFFFF&";
                after = "\\1c" + colour;
            } else if (look_.look == Look::Pop) {
                const bool big = w.drawn->emphasis;
                const std::string peak = number(100 * (big ? kPopEmphasis : kPop), 0);
                const std::string rest = number(100 * (big ? kEmphasisStays : 1.0), 0);
                spoken += "\\fscx" + peak + "\\fscy" + peak + "\\t(" + std::to_string(kPopHold) + "," +
                          std::to_string(kPopEnd) + ",\\fscx" + rest + "\\fscy" + rest + ")";
            }
            word_events(block, l, i, at[0], at[k], white, kind, 1);
            word_events(block, l, i, at[k], at[k + 1], spoken, kind, 1);
            word_events(block, l, i, at[k + 1], page_to, after, kind, 1);
            word_emoji(block, l, i, words.front().start, end);
        }
}

void Drawing::card(const std::vector<std::vector<const Drawn*>>& lines, double start, double end) {
    if (lines.empty()) return;
    const Kind kind = cards_kind();
    const Block block = lay_out(lines, kind, false, start);
    const long long from = centis(start), to = centis(end);
    boxes(block, from, to, kind, "");
    for (size_t l = 0; l < block.lines.size(); ++l)
        for (size_t i = 0; i < block.lines[l].words.size(); ++i) {
            const Drawn& d = *block.lines[l].words[i].drawn;
            word_events(block, l, i, from, to, d.emphasis ? "\\1c" + ass_colour(look_.accent) : "", kind, 1);
            word_emoji(block, l, i, start, end);
        }
}

std::string Drawing::title(const std::vector<Drawn>& words) {
    if (words.empty()) return "";
    const Design& d = design_of(look_.look);
    const int designed = sized(d.title, scale_);
    // The largest size at which the title takes one or two lines and
    // keeps to the upper third.
    std::vector<std::vector<const Drawn*>> lines;
    Kind kind;
    for (int size = designed; size >= 8; size -= std::max(1, size / 40)) {
        kind = title_kind(size);
        auto width = [&](size_t from, size_t to) {
            double w = 0;
            for (size_t i = from; i < to; ++i) w += (i > from ? space_ * size : 0) + words[i].width * size;
            return w;
        };
        const double third = frame_.height * kTitleSpan;
        lines.clear();
        std::vector<const Drawn*> all;
        for (const Drawn& w : words) all.push_back(&w);
        if (width(0, words.size()) <= kind.room) {
            lines = {all};
        } else {
            size_t best = 0;
            double narrowest = 0;
            for (size_t cut = 1; cut < words.size(); ++cut) {
                const double w = std::max(width(0, cut), width(cut, words.size()));
                if (best == 0 || w < narrowest) {
                    best = cut;
                    narrowest = w;
                }
            }
            if (best == 0 || narrowest > kind.room) continue;
            lines = {{all.begin(), all.begin() + static_cast<long>(best)}, {all.begin() + static_cast<long>(best), all.end()}};
        }
        const double height = kind.pitch() * (static_cast<double>(lines.size()) - 1) + size;
        if (safe_.top + kind.top + height + kind.bottom <= third || size <= 8) break;
        lines.clear();
    }
    if (lines.empty()) lines = {{}};
    // The title sits at the top of the safe area.
    Block block;
    block.size = kind.size;
    const double pitch = kind.pitch();
    const double first = safe_.top + kind.top + block.size;
    for (size_t l = 0; l < lines.size(); ++l) {
        Block::Line line;
        line.bottom = first + pitch * static_cast<double>(l);
        for (size_t i = 0; i < lines[l].size(); ++i) line.width += (i ? space_ * block.size : 0) + lines[l][i]->width * block.size;
        line.left = kind.centre - line.width / 2;
        double x = line.left;
        for (const Drawn* w : lines[l]) {
            line.words.push_back({w, x, 1.0});
            x += (w->width + space_) * block.size;
        }
        block.lines.push_back(std::move(line));
    }
    title_end_ = kTitleSeconds;
    title_bottom_ = block.lines.back().bottom + kind.bottom;
    const long long from = 0, to = centis(kTitleSeconds);
    const std::string fade = "\\fad(0," + std::to_string(std::lround(kTitleFade * 1000)) + ")";
    boxes(block, from, to, kind, fade);
    for (size_t l = 0; l < block.lines.size(); ++l)
        for (size_t i = 0; i < block.lines[l].words.size(); ++i) {
            const Drawn& w = *block.lines[l].words[i].drawn;
            word_events(block, l, i, from, to, fade + (w.emphasis ? "\\1c" + ass_colour(look_.accent) : ""), kind, 2);
            // An emoji cannot fade: it goes halfway through the fade.
            word_emoji(block, l, i, 0, kTitleSeconds - kTitleFade / 2);
        }
    if (kind.size < kSmallTitle * designed)
        return "the title is long: drawn at " + std::to_string(kind.size) + " px instead of " +
               std::to_string(designed) + " px; a shorter one is drawn larger";
    return "";
}

std::string Drawing::ass(const Frame& frame) const {
    const Kind words = words_kind(), cards = cards_kind();
    const Kind title = title_kind(sized(design_of(look_.look).title, scale_));
    const bool soft = look_.look == Look::Minimal;
    // Soft: an outline that is not drawn, whose blurred shadow is.
    const std::string outline = soft ? "&HFF000000" : "&H00000000";
    const std::string back = std::string("&H") + (soft ? kSoftShadowAlpha : "80") + "000000";
    auto style = [&](const Kind& k) {
        return std::string("Style: ") + k.style + ",DejaVu Sans," + std::to_string(k.size) +
               ",&H00FFFFFF,&H00FFFFFF," + outline + "," + back + ",-1,0,0,0,100,100,0,0,1," +
               std::to_string(k.outline) + "," + std::to_string(k.shadow) + ",2,0,0,0,1\n";
    };
    return "[Script Info]\n"
           "ScriptType: v4.00+\n"
           "PlayResX: " + std::to_string(frame.width) + "\n"
           "PlayResY: " + std::to_string(frame.height) + "\n"
           "WrapStyle: 2\n"
           "ScaledBorderAndShadow: yes\n"
           "YCbCr Matrix: None\n"
           "\n"
           "[V4+ Styles]\n"
           "Format: Name, Fontname, Fontsize, PrimaryColour, SecondaryColour, OutlineColour, "
           "BackColour, Bold, Italic, Underline, StrikeOut, ScaleX, ScaleY, Spacing, Angle, "
           "BorderStyle, Outline, Shadow, Alignment, MarginL, MarginR, MarginV, Encoding\n" +
           style(words) + style(cards) + style(title) +
           "Style: Box,DejaVu Sans,20,&H" + kBoxAlpha + "000000,&H" + kBoxAlpha +
           "000000,&H00000000,&H00000000,0,0,0,0,100,100,0,0,1,0,0,7,0,0,0,1\n"
           "\n"
           "[Events]\n"
           "Format: Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, Effect, Text\n" +
           events_;
}

}  // namespace clipweave::studio
