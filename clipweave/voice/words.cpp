// Written words' times from the engines' words, and speech by engine name.
#include <algorithm>
#include <cmath>

#include "voice.hpp"

namespace clipweave::voice {

std::vector<Span> token_times(const std::vector<Token>& tokens, const std::vector<EngineWord>& words,
                              double seconds) {
    const size_t n = tokens.size();
    std::vector<Span> out(n);
    std::vector<bool> timed(n, false);
    if (n == 0) return out;
    for (const EngineWord& w : words) {
        // The token the word begins in, or the next one: an engine may place
        // a word on the space or punctuation before it.
        auto it = std::upper_bound(tokens.begin(), tokens.end(), w.offset,
                                   [](size_t offset, const Token& t) { return offset < t.end; });
        const size_t i = it == tokens.end() ? n - 1 : static_cast<size_t>(it - tokens.begin());
        const double start = std::clamp(w.start, 0.0, seconds);
        const double end = std::clamp(std::max(w.end, w.start), 0.0, seconds);
        if (!timed[i]) {
            out[i] = {start, end};
            timed[i] = true;
        } else {
            out[i].start = std::min(out[i].start, start);
            out[i].end = std::max(out[i].end, end);
        }
    }
    // Untimed tokens sit at the end of the timed one before them, or (at
    // the start) at the beginning of the first timed one.
    double next_start = seconds;
    std::vector<double> following(n, 0.0);
    for (size_t i = n; i-- > 0;) {
        following[i] = next_start;
        if (timed[i]) next_start = out[i].start;
    }
    bool any_before = false;
    double last_end = 0.0;
    double last_start = 0.0;
    const bool any = std::find(timed.begin(), timed.end(), true) != timed.end();
    for (size_t i = 0; i < n; ++i) {
        if (!timed[i]) {
            const double at = any_before ? last_end : (any ? following[i] : 0.0);
            out[i] = {at, at};
        }
        out[i].start = std::max(out[i].start, last_start);
        out[i].end = std::max(out[i].end, out[i].start);
        last_start = out[i].start;
        if (timed[i]) {
            any_before = true;
            last_end = out[i].end;
        }
    }
    return out;
}

Spoken speak(const std::u32string& text, const std::string& engine, const std::string& voice) {
    Spoken out;
    out.tokens = written_tokens(text);
    const std::u32string spoken_text = speakable(text);
    const bool blank = std::all_of(spoken_text.begin(), spoken_text.end(), [](char32_t c) { return c == U' '; });
    if (engine == "espeak-ng") {
        out.speech = espeak_speak(blank ? U"" : spoken_text, voice);
    } else if (engine == "flite") {
        out.speech = flite_speak(blank ? U"" : spoken_text, voice);
    } else {
        throw Refused("engine must be 'espeak-ng' or 'flite', got '" + engine.substr(0, 40) + "'");
    }
    if (blank || out.speech.pcm.empty()) {
        // Something to play and to measure: 0.3 s of silence.
        out.speech.pcm.assign(static_cast<size_t>(out.speech.rate * 3 / 10), 0);
        out.speech.words.clear();
    }
    out.times = token_times(out.tokens, out.speech.words, out.speech.seconds());
    return out;
}

}  // namespace clipweave::voice
