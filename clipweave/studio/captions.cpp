// Captions: narration text in pages of a few words or in cards of up to
// two lines, timed by its words, as SRT and as the ASS file that the
// subtitles filter burns in.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "core.hpp"

namespace clipweave::studio {
namespace {

// One code point of valid UTF-8 (the binding encodes str, so it is valid):
// its bytes and value.
struct CodePoint {
    std::string bytes;
    std::uint32_t value = 0;
};

std::vector<CodePoint> code_points(const std::string& utf8) {
    std::vector<CodePoint> out;
    out.reserve(utf8.size());
    for (size_t i = 0; i < utf8.size();) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        size_t n = 1;
        std::uint32_t v = lead;
        if (lead >= 0xF0) {
            n = 4;
            v = lead & 0x07;
        } else if (lead >= 0xE0) {
            n = 3;
            v = lead & 0x0F;
        } else if (lead >= 0xC0) {
            n = 2;
            v = lead & 0x1F;
        }
        if (i + n > utf8.size()) n = utf8.size() - i;
        for (size_t k = 1; k < n; ++k) v = (v << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        out.push_back({utf8.substr(i, n), v});
        i += n;
    }
    return out;
}

// Line feeds, tabs and other controls separate words like a space does.
bool separates(std::uint32_t c) {
    return c <= 0x20 || c == 0x7F || (c >= 0x80 && c <= 0x9F) || c == 0x2028 || c == 0x2029;
}

using Word = std::vector<CodePoint>;

std::string join(const Word& w) {
    std::string s;
    for (const CodePoint& c : w) s += c.bytes;
    return s;
}

std::vector<Word> words_of(const std::string& utf8, size_t line_chars) {
    std::vector<Word> words;
    Word current;
    auto flush = [&] {
        // A word longer than a line is cut into line-long pieces.
        for (size_t at = 0; at < current.size(); at += line_chars)
            words.emplace_back(current.begin() + static_cast<long>(at),
                               current.begin() + static_cast<long>(std::min(current.size(), at + line_chars)));
        current.clear();
    };
    for (CodePoint& c : code_points(utf8)) {
        if (separates(c.value)) {
            flush();
        } else {
            current.push_back(std::move(c));
        }
    }
    flush();
    return words;
}

// Words filled greedily into lines of at most width code points (a word
// piece is never longer than a full line, but may be longer than width).
std::vector<std::string> fill_lines(const std::vector<Word>& words, size_t width) {
    std::vector<std::string> lines;
    std::string line;
    size_t length = 0;
    for (const Word& w : words) {
        if (length != 0 && length + 1 + w.size() > width) {
            lines.push_back(std::move(line));
            line.clear();
            length = 0;
        }
        if (length != 0) {
            line += ' ';
            ++length;
        }
        line += join(w);
        length += w.size();
    }
    if (length != 0) lines.push_back(std::move(line));
    return lines;
}

size_t count_points(const std::string& utf8) {
    size_t n = 0;
    for (char ch : utf8) n += (static_cast<unsigned char>(ch) & 0xC0) != 0x80;
    return n;
}

// "H:MM:SS.CC" (ASS) from whole centiseconds.
std::string ass_time(long long cs) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "%lld:%02lld:%02lld.%02lld", cs / 360000, cs / 6000 % 60,
                  cs / 100 % 60, cs % 100);
    return buf;
}

// "HH:MM:SS,mmm" (SRT) from whole milliseconds.
std::string srt_time(long long ms) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "%02lld:%02lld:%02lld,%03lld", ms / 3600000, ms / 60000 % 60,
                  ms / 1000 % 60, ms % 1000);
    return buf;
}

// Zero-width marks that join or vary the characters around them; alone,
// a renderer draws them as boxes.
bool invisible(std::uint32_t c) {
    return c == 0xAD || c == 0x34F || c == 0x61C || c == 0x115F || c == 0x1160 || c == 0x17B4 ||
           c == 0x17B5 || (c >= 0x180B && c <= 0x180F) || (c >= 0x200B && c <= 0x200F) ||
           (c >= 0x202A && c <= 0x202E) || (c >= 0x2060 && c <= 0x206F) || c == 0x3164 ||
           (c >= 0xFE00 && c <= 0xFE0F) || c == 0xFEFF || c == 0xFFA0 || (c >= 0xFFF0 && c <= 0xFFF8) ||
           (c >= 0x1BCA0 && c <= 0x1BCA3) || (c >= 0x1D173 && c <= 0x1D17A) ||
           (c >= 0xE0000 && c <= 0xE0FFF);
}

// An upper bound of a code point's advance in DejaVu Sans Bold, or in the
// font that stands in for it, as a share of the ASS font size.
double advance(std::uint32_t c) {
    if (c < 0x80) {
        const std::string wide = "mwMW@%&";
        const std::string narrow = " iljtfr.,:;!'|()[]{}\"`";
        if (wide.find(static_cast<char>(c)) != std::string::npos) return 0.97;
        if (narrow.find(static_cast<char>(c)) != std::string::npos) return 0.5;
        if (c >= 'a' && c <= 'z') return 0.66;
        return 0.8;
    }
    if (c < 0x530) return 0.95;
    return 1.25;  // symbols, emoji, CJK: often a full em of a taller font
}

// The layout of the burned captions, designed on the default frame and
// carried to the others: sizes follow the frame's short side, and every
// pixel stays inside the frame's safe area (common::safe_area; on the
// default frame x 108-972 and y 288-1536). Text is wrapped at spaces a
// little inside it; a word wider than that gets a smaller font size of its
// own. The design's numbers, on the default frame:
constexpr int kWordSize = 88;
constexpr int kPhraseSize = 62;
constexpr int kWordOutline = 7, kWordShadow = 3;
constexpr int kPhraseOutline = 5, kPhraseShadow = 2;
constexpr int kInset = 22;  // outline + shadow + a few, inside the safe area's sides
// The lowest line's foot as a share down the safe area: pages of words a
// little below the frame's middle, cards of phrases near the area's bottom.
constexpr double kWordsFoot = 0.859;
constexpr double kPhrasesFoot = 0.979;
constexpr size_t kPageChars = 16;   // a page's words and the spaces between them
constexpr size_t kPageWords = 3;
constexpr size_t kPieceChars = 32;  // a longer "word" (a link, say) is shown in pieces
// On a wider frame the lines hold more, but at most this many times as much.
constexpr double kMostWider = 1.4;
constexpr const char kHighlight[] = "&H00FFFF&";  // yellow (ASS colours are BGR)
constexpr const char kPlain[] = "&HFFFFFF&";

// The design carried to one frame, in its pixels.
struct Layout {
    int margin_left = 0, margin_right = 0;
    double text_width = 0;  // what libass wraps to
    int word_size = 0, phrase_size = 0;
    int words_margin = 0, phrases_margin = 0;  // from the frame's bottom to the lowest line's foot
    size_t page_chars = 0;
    size_t line_chars = 0;  // of a card
    std::string header;     // the ASS file's styles
};

Layout layout_for(const Frame& frame) {
    const Frame& design = common::kDefaultFrame;
    const double scale = static_cast<double>(std::min(frame.width, frame.height)) /
                         static_cast<double>(std::min(design.width, design.height));
    auto px = [&](int designed) { return std::max(1, static_cast<int>(std::lround(designed * scale))); };
    const common::PixelBox safe = common::safe_area(frame);
    Layout l;
    l.margin_left = safe.left + px(kInset);
    l.margin_right = frame.width - safe.right + px(kInset);
    l.text_width = frame.width - l.margin_left - l.margin_right;
    l.word_size = px(kWordSize);
    l.phrase_size = px(kPhraseSize);
    auto margin = [&](double foot) { return frame.height - safe.top - static_cast<int>(std::lround(foot * safe.height())); };
    l.words_margin = margin(kWordsFoot);
    l.phrases_margin = margin(kPhrasesFoot);
    const double designed_width = common::safe_area(design).width() - 2 * kInset;
    const double wider = std::min(kMostWider, l.text_width / scale / designed_width);
    l.page_chars = static_cast<size_t>(std::floor(kPageChars * wider + 1e-9));
    l.line_chars = static_cast<size_t>(std::floor(CaptionStyle{}.line_chars * wider + 1e-9));
    auto style = [&](const char* name, int size, int outline, int shadow, int margin_v) {
        return std::string("Style: ") + name + ",DejaVu Sans," + std::to_string(size) +
               ",&H00FFFFFF,&H00FFFFFF,&H00000000,&H80000000,-1,0,0,0,100,100,0,0,1," +
               std::to_string(px(outline)) + "," + std::to_string(px(shadow)) + ",2," +
               std::to_string(l.margin_left) + "," + std::to_string(l.margin_right) + "," +
               std::to_string(margin_v) + ",1\n";
    };
    l.header = "[Script Info]\n"
               "ScriptType: v4.00+\n"
               "PlayResX: " + std::to_string(frame.width) + "\n"
               "PlayResY: " + std::to_string(frame.height) + "\n"
               "WrapStyle: 0\n"
               "ScaledBorderAndShadow: yes\n"
               "YCbCr Matrix: None\n"
               "\n"
               "[V4+ Styles]\n"
               "Format: Name, Fontname, Fontsize, PrimaryColour, SecondaryColour, OutlineColour, "
               "BackColour, Bold, Italic, Underline, StrikeOut, ScaleX, ScaleY, Spacing, Angle, "
               "BorderStyle, Outline, Shadow, Alignment, MarginL, MarginR, MarginV, Encoding\n" +
               // Pages of words: large, growing upwards from their foot.
               style("Words", l.word_size, kWordOutline, kWordShadow, l.words_margin) +
               // Cards of phrases: lower and smaller.
               style("Caption", l.phrase_size, kPhraseOutline, kPhraseShadow, l.phrases_margin) +
               "\n"
               "[Events]\n"
               "Format: Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, Effect, Text\n";
    return l;
}

// A written word, or a piece of a very long one, with its times in the
// narration's own seconds.
struct Unit {
    std::string text;   // as written
    std::string shown;  // without what no font here can draw
    size_t chars = 0;   // code points of text
    size_t shown_chars = 0;
    double width = 0;   // of shown, in font sizes
    double start = 0;
    double end = 0;
    bool sentence_end = false;
    bool clause_end = false;
};

std::string hex_code(std::uint32_t c) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "U+%04X", static_cast<unsigned>(c));
    return buf;
}

bool closing(std::uint32_t c) {
    return c == ')' || c == ']' || c == '}' || c == '"' || c == '\'' || c == 0x2019 || c == 0x201D ||
           c == 0xBB || c == 0x203A || c == '*' || c == '_';
}

bool dash(std::uint32_t c) { return c == '-' || c == 0x2013 || c == 0x2014 || c == 0x2015; }

// Where a word leaves off: the end of a sentence, of a clause, or neither.
void mark_ends(Unit& u, const std::vector<CodePoint>& points) {
    size_t n = points.size();
    while (n > 0 && (closing(points[n - 1].value) || invisible(points[n - 1].value))) --n;
    if (n == 0) return;
    const std::uint32_t last = points[n - 1].value;
    u.sentence_end = last == '.' || last == '!' || last == '?' || last == 0x2026 || last == 0x3002 ||
                     last == 0xFF01 || last == 0xFF1F;
    u.clause_end = u.sentence_end || last == ',' || last == ';' || last == ':' || dash(last) ||
                   last == 0xFF0C || last == 0xFF1B || last == 0xFF1A || last == 0x3001;
}

// Cuts a word into units of at most piece code points, its time shared by
// their characters, and marks what each can show.
void add_units(std::vector<Unit>& units, const std::string& word, double start, double end,
               size_t piece, const Coverage& coverage, std::vector<std::uint32_t>& missing) {
    const std::vector<CodePoint> points = code_points(word);
    for (size_t at = 0; at < points.size(); at += piece) {
        const size_t to = std::min(points.size(), at + piece);
        Unit u;
        for (size_t k = at; k < to; ++k) {
            const CodePoint& c = points[k];
            u.text += c.bytes;
            if (invisible(c.value)) continue;
            if (coverage.known && !coverage.has(c.value)) {
                if (std::find(missing.begin(), missing.end(), c.value) == missing.end())
                    missing.push_back(c.value);
                continue;
            }
            u.shown += c.bytes;
            ++u.shown_chars;
            u.width += advance(c.value);
        }
        u.chars = to - at;
        const double share = static_cast<double>(points.size());
        u.start = start + (end - start) * static_cast<double>(at) / share;
        u.end = start + (end - start) * static_cast<double>(to) / share;
        if (to == points.size()) mark_ends(u, points);
        units.push_back(std::move(u));
    }
}

struct Range {
    size_t from = 0;  // [from, to) of the units
    size_t to = 0;
};

// [from, to) cut into the fewest groups that fit, as even as can be: fits
// holds for every single unit and for no group holding one that does not.
template <class Fits, class Size>
void split_evenly(size_t from, size_t to, const Fits& fits, const Size& size, double capacity,
                  std::vector<Range>& out) {
    const size_t n = to - from;
    std::vector<double> best(n + 1, std::numeric_limits<double>::infinity());
    std::vector<size_t> back(n + 1, 0);
    best[0] = 0;
    for (size_t k = 1; k <= n; ++k) {
        for (size_t j = k; j-- > 0;) {
            if (j + 1 < k && !fits(from + j, from + k)) break;
            const double slack = std::max(0.0, capacity - size(from + j, from + k));
            const double cost = best[j] + 1e6 + slack * slack;
            if (cost < best[k]) {
                best[k] = cost;
                back[k] = j;
            }
        }
    }
    std::vector<Range> groups;
    for (size_t k = n; k > 0; k = back[k]) groups.push_back({from + back[k], from + k});
    out.insert(out.end(), groups.rbegin(), groups.rend());
}

// The units in groups that fit: whole sentences where they fit, else
// whole clauses, as many together as fit, else even parts of a clause.
template <class Fits, class Size>
std::vector<Range> group_units(const std::vector<Unit>& units, const Fits& fits, const Size& size,
                               double capacity) {
    std::vector<Range> out;
    size_t sentence = 0;
    for (size_t i = 0; i < units.size(); ++i) {
        if (!units[i].sentence_end && i + 1 < units.size()) continue;
        const size_t end = i + 1;
        if (fits(sentence, end)) {
            out.push_back({sentence, end});
        } else {
            size_t open = sentence;  // the clauses gathered so far start here
            size_t clause = sentence;
            for (size_t k = sentence; k < end; ++k) {
                if (!units[k].clause_end && k + 1 < end) continue;
                if (fits(open, k + 1)) {
                    clause = k + 1;
                    continue;
                }
                if (clause > open) out.push_back({open, clause});
                if (fits(clause, k + 1)) {
                    open = clause;
                    clause = k + 1;
                } else {
                    split_evenly(clause, k + 1, fits, size, capacity, out);
                    open = clause = k + 1;
                }
            }
            if (clause > open) out.push_back({open, clause});
        }
        sentence = end;
    }
    return out;
}

// A card's lines as ranges of its units: the narrowest width that needs no
// more lines than the full one, so that the lines come out even.
std::vector<Range> card_lines(const std::vector<Unit>& units, Range card, size_t line_chars) {
    auto fill = [&](size_t width) {
        std::vector<Range> lines;
        size_t length = 0;
        for (size_t k = card.from; k < card.to; ++k) {
            if (length != 0 && length + 1 + units[k].chars <= width) {
                length += 1 + units[k].chars;
                lines.back().to = k + 1;
            } else {
                lines.push_back({k, k + 1});
                length = units[k].chars;
            }
        }
        return lines;
    };
    const size_t count = fill(line_chars).size();
    size_t low = 1, high = line_chars;
    while (low < high) {
        const size_t mid = (low + high) / 2;
        if (fill(mid).size() <= count) {
            high = mid;
        } else {
            low = mid + 1;
        }
    }
    return fill(high);
}

// "{\fsN}" when the widest unit of [from, to) would not fit the text width
// at size, else nothing.
std::string font_size_tag(const std::vector<Unit>& units, Range r, int size, double text_width) {
    double widest = 0;
    for (size_t k = r.from; k < r.to; ++k) widest = std::max(widest, units[k].width);
    if (widest * size <= text_width) return "";
    const int fitted = std::max(8, static_cast<int>(std::floor(text_width / widest)));
    return "{\\fs" + std::to_string(fitted) + "}";
}

std::string dialogue(long long from, long long to, const char* style, const std::string& text) {
    return "Dialogue: 0," + ass_time(from) + "," + ass_time(to) + "," + style + ",,0,0,0,," + text + "\n";
}

std::string segment_name(size_t i) { return "segment " + std::to_string(i + 1); }
}  // namespace

std::vector<std::string> chunk_text(const std::string& utf8, const CaptionStyle& style) {
    if (style.line_chars < 1 || style.max_lines < 1)
        throw Refused("captions need at least one line of one character");
    const auto line_chars = static_cast<size_t>(style.line_chars);
    const std::vector<Word> words = words_of(utf8, line_chars);
    // The narrowest width that needs no more lines than the full one: lines
    // of even length, and no last chunk left with a single short word.
    const size_t lines = fill_lines(words, line_chars).size();
    size_t low = 1, high = line_chars;
    while (low < high) {
        const size_t mid = (low + high) / 2;
        if (fill_lines(words, mid).size() <= lines) {
            high = mid;
        } else {
            low = mid + 1;
        }
    }
    std::vector<std::string> chunks;
    const auto per_chunk = static_cast<size_t>(style.max_lines);
    const std::vector<std::string> filled = fill_lines(words, high);
    for (size_t i = 0; i < filled.size(); ++i) {
        if (i % per_chunk == 0) {
            chunks.push_back(filled[i]);
        } else {
            chunks.back() += '\n' + filled[i];
        }
    }
    return chunks;
}

// Players read "<b>", "<font ...>" and "{\an8}" in an SRT cue as markup, and
// "\N" as a line break: a word joiner after each "<", "\" and "{", and "{"
// written "\{" (shown as "{"), keep the narration's text as it is. A line
// holding "-->" reads as the next cue's times, losing this cue: a word joiner
// before its ">" too.
std::string srt_escape(const std::string& utf8) {
    std::string out;
    out.reserve(utf8.size());
    for (const char c : utf8) {
        if (c == '{') {
            out += "\\{\u2060";
            continue;
        }
        if (c == '>' && out.size() >= 2 && out.compare(out.size() - 2, 2, "--") == 0) out += "\u2060";
        out += c;
        if (c == '<' || c == '\\') out += "\u2060";
    }
    return out;
}

std::string srt_text(const std::vector<Cue>& cues) {
    std::string out;
    int index = 0;
    for (const Cue& cue : cues) {
        const long long from = std::llround(cue.start * 1000);
        const long long to = std::llround(cue.end * 1000);
        if (to <= from) continue;
        out += std::to_string(++index) + "\n" + srt_time(from) + " --> " + srt_time(to) + "\n" +
               srt_escape(cue.text) + "\n\n";
    }
    return out;
}

std::string ass_escape(const std::string& utf8) {
    std::string out;
    out.reserve(utf8.size() + utf8.size() / 8);
    for (const CodePoint& c : code_points(utf8)) {
        switch (c.value) {
            case '\\':
                // A word joiner after every backslash: "\N", "\h", "\n" and
                // "\{" in the text stay two characters.
                out += "\\\u2060";
                break;
            case '{':
                out += "\\{";
                break;
            case '}':
                out += "\\}";
                break;
            case '\n':
                out += "\\N";
                break;
            default:
                if (separates(c.value)) {
                    out += ' ';
                } else {
                    out += c.bytes;
                }
        }
    }
    return out;
}

bool Coverage::has(std::uint32_t c) const {
    if (!known) return true;
    auto it = std::upper_bound(ranges.begin(), ranges.end(), c,
                               [](std::uint32_t v, const auto& r) { return v < r.first; });
    return it != ranges.begin() && c <= std::prev(it)->second;
}

Coverage parse_coverage(const std::string& charsets) {
    Coverage out;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> ranges;
    size_t at = 0;
    auto hex = [&](std::uint32_t& v) {
        const size_t begin = at;
        v = 0;
        while (at < charsets.size() && std::isxdigit(static_cast<unsigned char>(charsets[at])) &&
               at - begin < 8) {
            const char ch = charsets[at++];
            v = v * 16 + static_cast<std::uint32_t>(ch <= '9' ? ch - '0' : (ch | 0x20) - 'a' + 10);
        }
        return at > begin;
    };
    while (at < charsets.size()) {
        std::uint32_t first = 0, last = 0;
        if (!hex(first)) {
            ++at;  // a separator, or text that is no range
            continue;
        }
        last = first;
        if (at < charsets.size() && charsets[at] == '-') {
            ++at;
            if (!hex(last)) last = first;
        }
        if (last >= first && last <= 0x10FFFF) ranges.emplace_back(first, last);
    }
    std::sort(ranges.begin(), ranges.end());
    for (const auto& r : ranges) {
        if (!out.ranges.empty() && r.first <= out.ranges.back().second + 1) {
            out.ranges.back().second = std::max(out.ranges.back().second, r.second);
        } else {
            out.ranges.push_back(r);
        }
    }
    out.known = !out.ranges.empty();
    return out;
}

Captions make_captions(const Plan& plan, const std::vector<std::string>& texts,
                       const std::vector<std::vector<WordTime>>& words, CaptionMode mode,
                       const Coverage& coverage, const Frame& frame) {
    const Layout layout = layout_for(frame);
    const CaptionStyle style{static_cast<int>(layout.line_chars)};
    const size_t n = plan.clips.size();
    if (texts.size() != n)
        throw Refused("there are " + std::to_string(n) + " clips but " + std::to_string(texts.size()) +
                      " narration texts");
    if (!words.empty() && words.size() != n)
        throw Refused("word times must be given for every segment or none: there are " +
                      std::to_string(n) + " segments but " + std::to_string(words.size()) + " entries");
    const auto line_chars = static_cast<size_t>(style.line_chars);
    const auto max_lines = static_cast<size_t>(style.max_lines);
    const bool burned = mode == CaptionMode::Words || mode == CaptionMode::Phrases;
    Captions out;
    std::string events;
    for (size_t i = 0; i < n; ++i) {
        const ClipPlan& clip = plan.clips[i];
        const std::string name = segment_name(i);
        std::vector<std::string> tokens;
        for (const Word& w : words_of(texts[i], std::numeric_limits<size_t>::max()))
            tokens.push_back(join(w));
        if (tokens.empty() || clip.narration <= 0) continue;

        // When each word is spoken: as the voice says, or by its share of
        // the characters.
        std::vector<std::pair<double, double>> times;
        const std::vector<WordTime>* given = i < words.size() && !words[i].empty() ? &words[i] : nullptr;
        if (given != nullptr && given->size() != tokens.size()) {
            out.notes.push_back({i, name + ": the voice timed " + std::to_string(given->size()) +
                                        " words of a text of " + std::to_string(tokens.size()) +
                                        "; its captions are timed by characters"});
            given = nullptr;
        }
        if (given != nullptr) {
            double onset = 0;
            for (size_t k = 0; k < given->size(); ++k) {
                const WordTime& w = (*given)[k];
                if (!std::isfinite(w.start) || !std::isfinite(w.end) || w.start < 0 || w.end < 0)
                    throw Refused(name + ": word " + std::to_string(k + 1) +
                                  "'s times must be finite and not negative");
                onset = std::max(onset, w.start);  // in order, whatever the voice says
                times.emplace_back(onset, std::max(onset, w.end));
            }
        } else {
            size_t total = 0;
            for (const std::string& t : tokens) total += count_points(t);
            size_t before = 0;
            for (const std::string& t : tokens) {
                const size_t c = count_points(t);
                times.emplace_back(clip.narration * static_cast<double>(before) / static_cast<double>(total),
                                   clip.narration * static_cast<double>(before + c) / static_cast<double>(total));
                before += c;
            }
        }

        // Only what is heard: a word that begins after the cut is left out,
        // one cut short is shown until the cut.
        const double used = clip.narration_used;
        auto at = [&](double t) { return (clip.start_at + t) / plan.speed; };
        std::vector<Unit> cards_units, page_units;
        std::vector<std::uint32_t> missing;
        for (size_t k = 0; k < tokens.size(); ++k) {
            const double start = times[k].first;
            if (start >= used) break;
            const double end = std::min(times[k].second, used);
            out.words.push_back({tokens[k], at(start), at(end), static_cast<int>(i + 1)});
            add_units(cards_units, tokens[k], start, end, line_chars, coverage, missing);
            add_units(page_units, tokens[k], start, end, kPieceChars, coverage, missing);
        }
        if (cards_units.empty()) continue;

        // Cards: whole sentences and clauses in up to max_lines lines.
        auto card_fits = [&](size_t from, size_t to) {
            size_t lines = 1, length = 0;
            for (size_t k = from; k < to; ++k) {
                if (length != 0 && length + 1 + cards_units[k].chars > line_chars) {
                    ++lines;
                    length = cards_units[k].chars;
                } else {
                    length += (length != 0) + cards_units[k].chars;
                }
            }
            return lines <= max_lines;
        };
        auto card_size = [&](size_t from, size_t to) {
            double size = -1;
            for (size_t k = from; k < to; ++k) size += 1 + static_cast<double>(cards_units[k].chars);
            return size;
        };
        const std::vector<Range> cards = group_units(cards_units, card_fits, card_size,
                                                     static_cast<double>(line_chars * max_lines));
        for (size_t c = 0; c < cards.size(); ++c) {
            const double from = cards_units[cards[c].from].start;
            const double to = c + 1 < cards.size() ? cards_units[cards[c + 1].from].start : used;
            std::string written, shown;
            for (const Range& line : card_lines(cards_units, cards[c], line_chars)) {
                std::string w, s;
                for (size_t k = line.from; k < line.to; ++k) {
                    w += (w.empty() ? "" : " ") + cards_units[k].text;
                    if (!cards_units[k].shown.empty()) s += (s.empty() ? "" : " ") + cards_units[k].shown;
                }
                written += (written.empty() ? "" : "\n") + w;
                if (!s.empty()) shown += (shown.empty() ? "" : "\n") + s;
            }
            out.cues.push_back({at(from), at(to), written});
            const long long cs_from = std::llround(at(from) * 100), cs_to = std::llround(at(to) * 100);
            if (mode == CaptionMode::Phrases && !shown.empty() && cs_to > cs_from)
                events += dialogue(cs_from, cs_to, "Caption",
                                   font_size_tag(cards_units, cards[c], layout.phrase_size, layout.text_width) + ass_escape(shown));
        }

        if (mode == CaptionMode::Words) {
            // Pages: one to three words, the one being spoken highlighted; a
            // word of no drawable character is not shown.
            std::vector<Unit> shown_units;
            for (Unit& u : page_units) {
                // A page is too short to hold a clause's end and the next one's start.
                u.sentence_end = u.clause_end;
                if (u.shown_chars != 0) shown_units.push_back(std::move(u));
            }
            auto page_size = [&](size_t from, size_t to) {
                double size = -1;
                for (size_t k = from; k < to; ++k) size += 1 + static_cast<double>(shown_units[k].shown_chars);
                return size;
            };
            auto page_fits = [&](size_t from, size_t to) {
                return to - from <= kPageWords && page_size(from, to) <= static_cast<double>(layout.page_chars);
            };
            const std::vector<Range> pages =
                group_units(shown_units, page_fits, page_size, static_cast<double>(layout.page_chars));
            for (size_t p = 0; p < pages.size(); ++p) {
                const Range page = pages[p];
                const double page_end = p + 1 < pages.size() ? shown_units[pages[p + 1].from].start : used;
                const std::string size = font_size_tag(shown_units, page, layout.word_size, layout.text_width);
                for (size_t k = page.from; k < page.to; ++k) {
                    const double from = shown_units[k].start;
                    const double to = k + 1 < page.to ? shown_units[k + 1].start : page_end;
                    const long long cs_from = std::llround(at(from) * 100), cs_to = std::llround(at(to) * 100);
                    if (cs_to <= cs_from) continue;
                    std::string text = size;
                    for (size_t m = page.from; m < page.to; ++m)
                        text += std::string(m == page.from ? "" : " ") + "{\\1c" +
                                (m == k ? kHighlight : kPlain) + "}" + ass_escape(shown_units[m].shown);
                    events += dialogue(cs_from, cs_to, "Words", text);
                }
            }
        }

        if (burned && !missing.empty()) {
            std::string list;
            for (std::uint32_t c : missing) {
                CodePoint point;
                for (const CodePoint& p : code_points(texts[i]))
                    if (p.value == c) point = p;
                list += (list.empty() ? "" : ", ") + point.bytes + " (" + hex_code(c) + ")";
            }
            out.notes.push_back({i, name + ": " + list + (missing.size() == 1 ? " has" : " have") +
                                        " no font here; left out of the captions"});
        }
    }
    if (mode != CaptionMode::None) out.srt = srt_text(out.cues);
    if (burned) out.ass = layout.header + events;
    return out;
}

}  // namespace clipweave::studio
