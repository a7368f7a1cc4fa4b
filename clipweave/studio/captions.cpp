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
#include "drawing.hpp"

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

// "HH:MM:SS,mmm" (SRT) from whole milliseconds.
std::string srt_time(long long ms) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "%02lld:%02lld:%02lld,%03lld", ms / 3600000, ms / 60000 % 60,
                  ms / 1000 % 60, ms % 1000);
    return buf;
}

// Pages hold up to kPageWords words of kPageChars characters (and the
// spaces between them); a longer "word" (a link, say) is shown in pieces
// of kPieceChars. On a wider frame a page holds more, but at most
// kMostWider times as much.
constexpr size_t kPageChars = 16;
constexpr size_t kPageWords = 3;
constexpr size_t kPieceChars = 32;
constexpr double kMostWider = 1.4;

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

// A written word, or a piece of a very long one, with its times in the
// narration's own seconds.
struct Unit {
    std::string text;   // as written
    size_t chars = 0;   // code points of text
    size_t shown_chars = 0;  // of what is drawn
    Drawn drawn;        // without what no font here can draw
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

// Whether c is drawn as an emoji by itself (where a colour font has it):
// the pictographs, and the older symbols that show as emoji unless told
// otherwise.
bool emoji_by_itself(std::uint32_t c) {
    static constexpr std::uint32_t kShown[][2] = {
        {0x231A, 0x231B}, {0x23E9, 0x23EC}, {0x23F0, 0x23F0}, {0x23F3, 0x23F3}, {0x25FD, 0x25FE},
        {0x2614, 0x2615}, {0x2648, 0x2653}, {0x267F, 0x267F}, {0x2693, 0x2693}, {0x26A1, 0x26A1},
        {0x26AA, 0x26AB}, {0x26BD, 0x26BE}, {0x26C4, 0x26C5}, {0x26CE, 0x26CE}, {0x26D4, 0x26D4},
        {0x26EA, 0x26EA}, {0x26F2, 0x26F3}, {0x26F5, 0x26F5}, {0x26FA, 0x26FA}, {0x26FD, 0x26FD},
        {0x2705, 0x2705}, {0x270A, 0x270B}, {0x2728, 0x2728}, {0x274C, 0x274C}, {0x274E, 0x274E},
        {0x2753, 0x2755}, {0x2757, 0x2757}, {0x2795, 0x2797}, {0x27B0, 0x27B0}, {0x27BF, 0x27BF},
        {0x2B1B, 0x2B1C}, {0x2B50, 0x2B50}, {0x2B55, 0x2B55}, {0x1F000, 0x1FAFF}};
    for (const auto& r : kShown)
        if (c >= r[0] && c <= r[1]) return true;
    return false;
}

// The code points of the emoji that starts at points[i] (a pictograph or
// a symbol asked to show as one, with its skin tone, selectors, tags and
// what a joiner adds; a keycap; a flag), or 0 where none does.
size_t emoji_length(const std::vector<CodePoint>& points, size_t i) {
    auto at = [&](size_t k) { return k < points.size() ? points[k].value : 0u; };
    const std::uint32_t c = at(i);
    size_t n = 0;
    if (((c >= '0' && c <= '9') || c == '#' || c == '*') && (at(i + 1) == 0x20E3 || (at(i + 1) == 0xFE0F && at(i + 2) == 0x20E3)))
        return at(i + 1) == 0x20E3 ? 2 : 3;
    const bool symbol = (c >= 0x2000 && c <= 0x2BFF) || c == 0xA9 || c == 0xAE || c == 0x3030 || c == 0x303D ||
                        c == 0x3297 || c == 0x3299;
    if (at(i + 1) == 0xFE0E) return 0;  // asked to show as text
    if (emoji_by_itself(c) || (symbol && at(i + 1) == 0xFE0F)) n = 1;
    if (n == 0) return 0;
    if (c >= 0x1F1E6 && c <= 0x1F1FF && at(i + 1) >= 0x1F1E6 && at(i + 1) <= 0x1F1FF) return 2;  // a flag
    for (;;) {
        const std::uint32_t next = at(i + n);
        if (next == 0xFE0F || next == 0x20E3 || (next >= 0x1F3FB && next <= 0x1F3FF) ||
            (next >= 0xE0020 && next <= 0xE007F)) {
            ++n;
        } else if (next == 0x200D && at(i + n + 1) >= 0x2000) {
            n += 2;
        } else {
            return n;
        }
    }
}

// What the captions can draw, and what they left out.
struct Drawer {
    const Coverage& coverage;
    const Fonts& fonts;
    std::vector<std::uint32_t> missing;  // characters no font here has
    std::vector<std::string> no_colour;  // emoji left out for want of a colour font

    // A word's drawn pieces: text runs and colour emoji, without what no
    // font here can draw. Returns the code points drawn.
    size_t draw(const std::vector<CodePoint>& points, size_t from, size_t to, Drawn& out) {
        std::string run;
        size_t drawn = 0;
        auto flush = [&] {
            if (run.empty()) return;
            const double w = fonts.width(run);
            out.pieces.push_back({Piece::Text, run, w});
            out.width += w;
            run.clear();
        };
        for (size_t k = from; k < to;) {
            const size_t emoji = std::min(emoji_length(points, k), to - k);
            if (emoji > 0) {
                std::string cluster;
                for (size_t e = k; e < k + emoji; ++e) cluster += points[e].bytes;
                if (fonts.draws_emoji(cluster)) {
                    flush();
                    const double w = fonts.emoji_width(cluster);
                    out.pieces.push_back({Piece::Emoji, cluster, w});
                    out.width += w;
                    ++drawn;
                    k += emoji;
                    continue;
                }
                if (!fonts.has_emoji_font()) {
                    if (std::find(no_colour.begin(), no_colour.end(), cluster) == no_colour.end())
                        no_colour.push_back(cluster);
                    k += emoji;
                    continue;
                }
            }
            const CodePoint& c = points[k++];
            if (invisible(c.value)) continue;
            if (coverage.known && !coverage.has(c.value)) {
                if (std::find(missing.begin(), missing.end(), c.value) == missing.end()) missing.push_back(c.value);
                continue;
            }
            run += c.bytes;
            ++drawn;
        }
        flush();
        return drawn;
    }
};

// Cuts a word into units of at most piece code points, its time shared by
// their characters, and draws each.
void add_units(std::vector<Unit>& units, const std::string& word, bool emphasis, double start, double end,
               size_t piece, Drawer& drawer) {
    const std::vector<CodePoint> points = code_points(word);
    for (size_t at = 0, to = 0; at < points.size(); at = to) {
        to = std::min(points.size(), at + piece);
        // Never inside an emoji.
        for (size_t k = at; k < to;) {
            const size_t e = emoji_length(points, k);
            if (e > 1 && k + e > to) to = k + e;
            k += std::max<size_t>(1, e);
        }
        Unit u;
        for (size_t k = at; k < to; ++k) u.text += points[k].bytes;
        u.shown_chars = drawer.draw(points, at, to, u.drawn);
        u.drawn.emphasis = emphasis;
        u.chars = to - at;
        const double share = static_cast<double>(points.size());
        u.start = start + (end - start) * static_cast<double>(at) / share;
        u.end = start + (end - start) * static_cast<double>(to) / share;
        if (to == points.size()) mark_ends(u, points);
        units.push_back(std::move(u));
    }
}

// `b`'s pieces after `a`'s, a gap between them (b's pieces are moved).
void append_drawn(Drawn& a, Drawn& b, double gap) {
    a.pieces.push_back({Piece::Gap, "", gap});
    a.width += gap;
    for (Piece& p : b.pieces) {
        a.width += p.width;
        a.pieces.push_back(std::move(p));
    }
}

// A unit of emoji alone joins the word before it (or, first, the one
// after it), beside it: never a page or a line by itself.
void join_emoji(std::vector<Unit>& units, double gap) {
    auto alone = [](const Unit& u) {
        return !u.drawn.pieces.empty() && std::all_of(u.drawn.pieces.begin(), u.drawn.pieces.end(),
                                                      [](const Piece& p) { return p.kind == Piece::Emoji; });
    };
    std::vector<Unit> out;
    for (Unit& u : units) {
        if (alone(u) && !out.empty() && !out.back().drawn.pieces.empty()) {
            Unit& before = out.back();
            before.text += " " + u.text;
            before.chars += 1 + u.chars;
            before.shown_chars += u.shown_chars;
            append_drawn(before.drawn, u.drawn, gap);
            before.end = std::max(before.end, u.end);
            continue;
        }
        out.push_back(std::move(u));
    }
    // Emoji that open the text go before the first word.
    if (out.size() > 1 && alone(out[0]) && !out[1].drawn.pieces.empty()) {
        Unit first = std::move(out[0]);
        Unit& next = out[1];
        next.text = first.text + " " + next.text;
        next.chars += 1 + first.chars;
        next.shown_chars += first.shown_chars;
        append_drawn(first.drawn, next.drawn, gap);
        next.drawn.pieces = std::move(first.drawn.pieces);
        next.drawn.width = first.drawn.width;
        next.start = first.start;
        out.erase(out.begin());
    }
    units = std::move(out);
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
// more lines than the room does, so that the lines come out even.
template <class Slot>
std::vector<Range> card_lines(Range card, const Slot& slot, double space, double room) {
    auto fill = [&](double width) {
        std::vector<Range> lines;
        double length = 0;
        for (size_t k = card.from; k < card.to; ++k) {
            if (k > card.from && length + space + slot(k) <= width) {
                length += space + slot(k);
                lines.back().to = k + 1;
            } else {
                lines.push_back({k, k + 1});
                length = slot(k);
            }
        }
        return lines;
    };
    const size_t count = fill(room).size();
    double low = 0, high = room;
    for (size_t k = card.from; k < card.to; ++k) low = std::max(low, std::min(slot(k), room));
    for (int i = 0; i < 40 && high - low > 0.5; ++i) {
        const double mid = (low + high) / 2;
        if (fill(mid).size() <= count) {
            high = mid;
        } else {
            low = mid;
        }
    }
    return fill(high);
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

namespace {

// The tokens of a marked text (whitespace-separated words), and whether
// each holds emphasis.
void marked_tokens(const std::string& written, std::vector<std::string>& tokens, std::vector<bool>& emphasis) {
    const Marked marked = read_marks(written);
    const std::string& text = marked.text;
    size_t i = 0;
    while (i < text.size()) {
        // Whitespace and controls separate words (as words_of).
        size_t start = i;
        std::vector<CodePoint> cps = code_points(text.substr(i, std::min<size_t>(4, text.size() - i)));
        if (!cps.empty() && separates(cps[0].value)) {
            i += cps[0].bytes.size();
            continue;
        }
        bool marked_word = false;
        while (i < text.size()) {
            cps = code_points(text.substr(i, std::min<size_t>(4, text.size() - i)));
            if (cps.empty() || separates(cps[0].value)) break;
            for (size_t b = 0; b < cps[0].bytes.size(); ++b) marked_word = marked_word || marked.emphasis[i + b];
            i += cps[0].bytes.size();
        }
        tokens.push_back(text.substr(start, i - start));
        emphasis.push_back(marked_word);
    }
}

std::string listed(const std::vector<std::uint32_t>& missing, const std::string& text) {
    std::string list;
    for (std::uint32_t c : missing) {
        CodePoint point;
        for (const CodePoint& p : code_points(text))
            if (p.value == c) point = p;
        list += (list.empty() ? "" : ", ") + point.bytes + " (" + hex_code(c) + ")";
    }
    return list;
}

// The notes of what a drawer left out of `what` ("the captions", "the title") of `whose`.
void note_left_out(const Drawer& d, const std::string& text, const std::string& whose, const std::string& what,
                   size_t segment, std::vector<Note>& notes) {
    if (!d.missing.empty())
        notes.push_back({segment, whose + ": " + listed(d.missing, text) + (d.missing.size() == 1 ? " has" : " have") +
                                      " no font here; left out of " + what});
    if (!d.no_colour.empty()) {
        std::string list;
        for (const std::string& e : d.no_colour) list += (list.empty() ? "" : ", ") + e;
        notes.push_back({segment, whose + ": " + list + " left out of " + what +
                                      ": no colour emoji font here (Debian's fonts-noto-color-emoji)"});
    }
}

}  // namespace

Captions make_captions(const Plan& plan, const std::vector<std::string>& texts,
                       const std::vector<std::vector<WordTime>>& words, CaptionMode mode,
                       const Coverage& coverage, const Frame& frame, const CaptionLook& look) {
    const size_t n = plan.clips.size();
    if (texts.size() != n)
        throw Refused("there are " + std::to_string(n) + " clips but " + std::to_string(texts.size()) +
                      " narration texts");
    if (!words.empty() && words.size() != n)
        throw Refused("word times must be given for every segment or none: there are " +
                      std::to_string(n) + " segments but " + std::to_string(words.size()) + " entries");
    const bool burned = mode == CaptionMode::Words || mode == CaptionMode::Phrases;
    const Fonts fonts(look.text_font, look.emoji_font);
    Drawing drawing(frame, look, plan.rate, fonts);
    // On a wider frame a page holds more, but at most kMostWider times as much.
    const Drawing designed(common::kDefaultFrame, look, plan.rate, fonts);
    const double scale = static_cast<double>(std::min(frame.width, frame.height)) /
                         std::min(common::kDefaultFrame.width, common::kDefaultFrame.height);
    const double wider = std::min(kMostWider, drawing.page_room() / scale / designed.page_room());
    const auto page_chars = static_cast<size_t>(std::floor(kPageChars * wider + 1e-9));
    const auto line_chars = static_cast<size_t>(std::floor(CaptionStyle{}.line_chars * wider + 1e-9));
    const auto max_lines = static_cast<size_t>(CaptionStyle{}.max_lines);
    Captions out;

    // The title first: what is shown with it goes below it.
    if (!look.title.empty()) {
        std::vector<std::string> tokens;
        std::vector<bool> emphasis;
        marked_tokens(look.title, tokens, emphasis);
        Drawer drawer{coverage, fonts, {}, {}};
        std::vector<Unit> units;
        for (size_t k = 0; k < tokens.size(); ++k)
            add_units(units, tokens[k], emphasis[k], 0, 0, std::numeric_limits<size_t>::max(), drawer);
        join_emoji(units, drawing.space());
        std::vector<Drawn> title;
        for (const Unit& u : units)
            if (!u.drawn.pieces.empty()) title.push_back(u.drawn);
        const std::string note = drawing.title(title);
        note_left_out(drawer, read_marks(look.title).text, "title", "the title", 0, out.notes);
        if (!note.empty()) out.notes.push_back({0, note});
    }

    for (size_t i = 0; i < n; ++i) {
        const ClipPlan& clip = plan.clips[i];
        const std::string name = segment_name(i);
        std::vector<std::string> tokens;
        std::vector<bool> emphasis;
        marked_tokens(texts[i], tokens, emphasis);
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
        Drawer drawer{coverage, fonts, {}, {}};
        for (size_t k = 0; k < tokens.size(); ++k) {
            double start = times[k].first;
            // A token the voice gives no time, at its very end (an emoji
            // after the last word), stays beside the word before it.
            if (start >= used && times[k].second <= start && k > 0 && !cards_units.empty() &&
                times[k - 1].first < used)
                start = used;
            else if (start >= used)
                break;
            const double end = std::min(times[k].second, used);
            out.words.push_back({tokens[k], at(start), at(end), static_cast<int>(i + 1)});
            add_units(cards_units, tokens[k], emphasis[k], start, end, line_chars, drawer);
            add_units(page_units, tokens[k], emphasis[k], start, end, kPieceChars, drawer);
        }
        if (cards_units.empty()) continue;
        join_emoji(cards_units, drawing.space());
        join_emoji(page_units, drawing.space());

        // Cards: whole sentences and clauses in up to max_lines lines.
        const double card_room = drawing.card_room(), card_space = drawing.card_space();
        auto card_slot = [&](size_t k) { return drawing.card_slot(cards_units[k].drawn); };
        auto card_fits = [&](size_t from, size_t to) {
            size_t lines = 1;
            double length = 0;
            for (size_t k = from; k < to; ++k) {
                if (k > from && length + card_space + card_slot(k) > card_room) {
                    ++lines;
                    length = card_slot(k);
                } else {
                    length += (k > from ? card_space : 0) + card_slot(k);
                }
            }
            return lines <= max_lines;
        };
        auto card_size = [&](size_t from, size_t to) {
            double size = -card_space;
            for (size_t k = from; k < to; ++k) size += card_space + card_slot(k);
            return size;
        };
        const std::vector<Range> cards =
            group_units(cards_units, card_fits, card_size, card_room * static_cast<double>(max_lines));
        for (size_t c = 0; c < cards.size(); ++c) {
            const double from = cards_units[cards[c].from].start;
            const double to = c + 1 < cards.size() ? cards_units[cards[c + 1].from].start : used;
            std::string written;
            std::vector<std::vector<const Drawn*>> lines;
            for (const Range& line : card_lines(cards[c], card_slot, card_space, card_room)) {
                std::string w;
                std::vector<const Drawn*> drawn;
                for (size_t k = line.from; k < line.to; ++k) {
                    w += (w.empty() ? "" : " ") + cards_units[k].text;
                    if (!cards_units[k].drawn.pieces.empty()) drawn.push_back(&cards_units[k].drawn);
                }
                written += (written.empty() ? "" : "\n") + w;
                if (!drawn.empty()) lines.push_back(std::move(drawn));
            }
            out.cues.push_back({at(from), at(to), written});
            if (mode == CaptionMode::Phrases && !lines.empty()) drawing.card(lines, at(from), at(to));
        }

        if (mode == CaptionMode::Words) {
            // Pages: one to three words, the one being spoken highlighted; a
            // word of no drawable character is not shown.
            std::vector<Unit> shown_units;
            for (Unit& u : page_units) {
                // A page is too short to hold a clause's end and the next one's start.
                u.sentence_end = u.clause_end;
                if (!u.drawn.pieces.empty()) shown_units.push_back(std::move(u));
            }
            const double page_room = drawing.page_room();
            auto page_size = [&](size_t from, size_t to) {
                double size = -1;
                for (size_t k = from; k < to; ++k) size += 1 + static_cast<double>(shown_units[k].shown_chars);
                return size;
            };
            auto page_width = [&](size_t from, size_t to) {
                std::vector<const Drawn*> line;
                for (size_t k = from; k < to; ++k) line.push_back(&shown_units[k].drawn);
                return drawing.page_width(line);
            };
            auto page_fits = [&](size_t from, size_t to) {
                return to - from <= kPageWords && page_size(from, to) <= static_cast<double>(page_chars) &&
                       (to - from == 1 || page_width(from, to) <= page_room);
            };
            const std::vector<Range> pages =
                group_units(shown_units, page_fits, page_size, static_cast<double>(page_chars));
            for (size_t p = 0; p < pages.size(); ++p) {
                const Range page = pages[p];
                const double page_end = p + 1 < pages.size() ? shown_units[pages[p + 1].from].start : used;
                std::vector<PageWord> shown;
                for (size_t k = page.from; k < page.to; ++k)
                    shown.push_back({&shown_units[k].drawn, at(shown_units[k].start), at(shown_units[k].end)});
                drawing.page(shown, at(page_end));
            }
        }

        if (burned) note_left_out(drawer, read_marks(texts[i]).text, name, "the captions", i, out.notes);
    }
    if (mode != CaptionMode::None) out.srt = srt_text(out.cues);
    if (burned || !look.title.empty()) {
        out.ass = drawing.ass(frame);
        out.pictures = std::move(drawing.pictures);
        out.emoji = std::move(drawing.emoji);
    }
    return out;
}

}  // namespace clipweave::studio
