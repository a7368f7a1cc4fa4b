// Emphasis in a narration's text: *a word or phrase* between asterisks is
// shown in the accent colour; the asterisks themselves are neither spoken
// nor shown, and \* is an asterisk as written.
#include <string>
#include <vector>

#include "core.hpp"

namespace clipweave::studio {
namespace {

bool blank(char ch) { return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r' || ch == '\f' || ch == '\v'; }

}  // namespace

Marked read_marks(const std::string& utf8) {
    // The text with "\*" made a plain asterisk, and where the runs of
    // unescaped asterisks are in it.
    struct Run {
        size_t at = 0, length = 0;
        bool opens = false, closes = false, used = false;
    };
    std::string text;
    std::vector<bool> literal;  // per byte of text: an asterisk written as \*
    std::vector<Run> runs;
    for (size_t i = 0; i < utf8.size(); ++i) {
        if (utf8[i] == '\\' && i + 1 < utf8.size() && utf8[i + 1] == '*') {
            text += '*';
            literal.push_back(true);
            ++i;
            continue;
        }
        if (utf8[i] == '*' && (runs.empty() || runs.back().at + runs.back().length != text.size() ||
                               literal.back())) {
            runs.push_back({text.size(), 0});
        }
        if (utf8[i] == '*') ++runs.back().length;
        text += utf8[i];
        literal.push_back(false);
    }
    // A run opens before a character that is no space and closes after one;
    // each opening run pairs with the next that closes. An unpaired run is
    // text: "5 * 3" keeps its asterisk.
    for (Run& r : runs) {
        const size_t after = r.at + r.length;
        r.opens = after < text.size() && !blank(text[after]) && !(text[after] == '*' && !literal[after]);
        r.closes = r.at > 0 && !blank(text[r.at - 1]);
    }
    for (size_t i = 0; i < runs.size(); ++i) {
        if (!runs[i].opens) continue;
        for (size_t j = i + 1; j < runs.size(); ++j) {
            if (!runs[j].closes) continue;
            runs[i].used = runs[j].used = true;
            i = j;
            break;
        }
    }
    Marked out;
    bool inside = false;
    size_t next = 0;
    for (size_t i = 0; i < text.size();) {
        if (next < runs.size() && runs[next].at == i) {
            const Run& r = runs[next++];
            if (r.used) {
                inside = !inside;
                i += r.length;
                continue;
            }
        }
        out.text += text[i];
        out.emphasis.push_back(inside);
        ++i;
    }
    return out;
}

}  // namespace clipweave::studio
