// Captions: narration text in short chunks, timed with its voice, as SRT
// and as the ASS file that the subtitles filter burns in.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
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

// The caption style: bold white text with a black outline, bottom-centred,
// its lowest pixel (outline included) above the bottom fifth of the frame.
constexpr const char kAssHeader[] =
    "[Script Info]\n"
    "ScriptType: v4.00+\n"
    "PlayResX: 1080\n"
    "PlayResY: 1920\n"
    "WrapStyle: 0\n"
    "ScaledBorderAndShadow: yes\n"
    "YCbCr Matrix: None\n"
    "\n"
    "[V4+ Styles]\n"
    "Format: Name, Fontname, Fontsize, PrimaryColour, SecondaryColour, OutlineColour, "
    "BackColour, Bold, Italic, Underline, StrikeOut, ScaleX, ScaleY, Spacing, Angle, "
    "BorderStyle, Outline, Shadow, Alignment, MarginL, MarginR, MarginV, Encoding\n"
    "Style: Caption,DejaVu Sans,62,&H00FFFFFF,&H00FFFFFF,&H00000000,&H00000000,"
    "-1,0,0,0,100,100,0,0,1,5,0,2,60,60,400,1\n"
    "\n"
    "[Events]\n"
    "Format: Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, Effect, Text\n";

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

std::vector<Cue> make_cues(const Plan& plan, const std::vector<std::string>& texts,
                           const CaptionStyle& style) {
    if (texts.size() != plan.clips.size())
        throw Refused("there are " + std::to_string(plan.clips.size()) + " clips but " +
                      std::to_string(texts.size()) + " narration texts");
    std::vector<Cue> cues;
    for (size_t i = 0; i < plan.clips.size(); ++i) {
        const ClipPlan& clip = plan.clips[i];
        const std::vector<std::string> chunks = chunk_text(texts[i], style);
        size_t total = 0;
        for (const std::string& c : chunks) total += count_points(c);
        if (total == 0 || clip.narration <= 0) continue;
        size_t before = 0;
        for (const std::string& c : chunks) {
            const size_t n = count_points(c);
            const double from = clip.narration * static_cast<double>(before) / static_cast<double>(total);
            double to = clip.narration * static_cast<double>(before + n) / static_cast<double>(total);
            before += n;
            // Only what is heard: a cut narration loses its later chunks.
            if (from >= clip.narration_used) break;
            to = std::min(to, clip.narration_used);
            cues.push_back({(clip.start_at + from) / plan.speed, (clip.start_at + to) / plan.speed, c});
        }
    }
    return cues;
}

std::string srt_text(const std::vector<Cue>& cues) {
    std::string out;
    int index = 0;
    for (const Cue& cue : cues) {
        const long long from = std::llround(cue.start * 1000);
        const long long to = std::llround(cue.end * 1000);
        if (to <= from) continue;
        out += std::to_string(++index) + "\n" + srt_time(from) + " --> " + srt_time(to) + "\n" +
               cue.text + "\n\n";
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

std::string ass_text(const std::vector<Cue>& cues) {
    std::string out = kAssHeader;
    for (const Cue& cue : cues) {
        const long long from = std::llround(cue.start * 100);
        const long long to = std::llround(cue.end * 100);
        if (to <= from) continue;
        out += "Dialogue: 0," + ass_time(from) + "," + ass_time(to) + ",Caption,,0,0,0,," +
               ass_escape(cue.text) + "\n";
    }
    return out;
}

}  // namespace clipweave::studio
