// The written words of a narration and the text the engines read.
#include <algorithm>
#include <iterator>

#include "symbols.hpp"
#include "voice.hpp"

namespace clipweave::voice {

std::u32string decode_utf8(const std::string& utf8) {
    // Input comes from Python's own UTF-8, so it is well formed.
    std::u32string out;
    out.reserve(utf8.size());
    for (size_t i = 0; i < utf8.size();) {
        const auto b = static_cast<unsigned char>(utf8[i]);
        const int extra = b < 0x80 ? 0 : b < 0xE0 ? 1 : b < 0xF0 ? 2 : 3;
        char32_t c = extra == 0 ? b : extra == 1 ? (b & 0x1F) : extra == 2 ? (b & 0x0F) : (b & 0x07);
        for (int k = 1; k <= extra && i + k < utf8.size(); ++k)
            c = (c << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        out.push_back(c);
        i += static_cast<size_t>(extra) + 1;
    }
    return out;
}

std::string encode_utf8(const std::u32string& text) {
    std::string out;
    out.reserve(text.size());
    for (char32_t c : text) {
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

bool is_space(char32_t c) {
    switch (c) {
    case 0x09: case 0x0A: case 0x0B: case 0x0C: case 0x0D: case 0x1C: case 0x1D: case 0x1E:
    case 0x1F: case 0x20: case 0x85: case 0xA0: case 0x1680: case 0x2028: case 0x2029:
    case 0x202F: case 0x205F: case 0x3000:
        return true;
    default:
        return c >= 0x2000 && c <= 0x200A;
    }
}

bool is_unspoken(char32_t c) {
    const auto* end = std::end(kUnspoken);
    const auto* it = std::upper_bound(std::begin(kUnspoken), end, c,
                                      [](char32_t v, const CodeRange& r) { return v < r.first; });
    return it != std::begin(kUnspoken) && c <= std::prev(it)->last;
}

std::vector<Token> written_tokens(const std::u32string& text) {
    std::vector<Token> out;
    for (size_t i = 0; i < text.size();) {
        if (is_space(text[i])) {
            ++i;
            continue;
        }
        Token t{i, i};
        while (t.end < text.size() && !is_space(text[t.end])) ++t.end;
        out.push_back(t);
        i = t.end;
    }
    return out;
}

std::u32string speakable(const std::u32string& text) {
    std::u32string out = text;
    for (char32_t& c : out) {
        // Controls too: a NUL would end the text for espeak-ng.
        const bool control = c < 0x20 || (c >= 0x7F && c < 0xA0);
        // Surrogates cannot reach UTF-8; they are no speech anyway.
        const bool surrogate = c >= 0xD800 && c <= 0xDFFF;
        if (control || surrogate || is_space(c) || is_unspoken(c)) c = U' ';
    }
    return out;
}

}  // namespace clipweave::voice
