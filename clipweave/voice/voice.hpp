// The offline voices' core: speech from libespeak-ng or libflite as 16-bit
// mono samples, and a time for every written word of the text.
//
// Offsets are code points of the text as given. The engines read a copy in
// which every symbol they would name (emoji, pictographs) and every control
// or space character is a plain space, so the copy has the text's offsets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "../common/refusal.hpp"

namespace clipweave::voice {

// What the caller asked wrongly (an unknown engine or voice).
using Refused = common::Refused;
// An engine that could not start or speak.
using EngineFailed = common::Failed;

// A written word: a run of non-space characters, [begin, end) in code points.
struct Token {
    size_t begin = 0;
    size_t end = 0;
};

// A word as an engine spoke it: where in the text it begins, and when.
struct EngineWord {
    size_t offset = 0;
    double start = 0.0;
    double end = 0.0;
};

struct Span {
    double start = 0.0;
    double end = 0.0;
};

struct Speech {
    std::vector<int16_t> pcm;
    int rate = 0;
    std::vector<EngineWord> words;  // in the order the engine spoke them
    double seconds() const { return rate > 0 ? static_cast<double>(pcm.size()) / rate : 0.0; }
};

struct VoiceInfo {
    std::string engine;
    std::string name;
    std::string language;
};

// --- text.cpp --------------------------------------------------------------------
std::u32string decode_utf8(const std::string& utf8);
std::string encode_utf8(const std::u32string& text);
// Python's str.isspace.
bool is_space(char32_t c);
// A symbol the voices would read by name (symbols.hpp).
bool is_unspoken(char32_t c);
std::vector<Token> written_tokens(const std::u32string& text);
// The text the engines read: same length, unspoken symbols, controls and
// spaces as ' '.
std::u32string speakable(const std::u32string& text);

// --- words.cpp -------------------------------------------------------------------
// One span per token: the engine's words that begin in a token give its
// time; a token the engine said nothing for gets a zero-length span at its
// neighbour's boundary. Starts never go back; every span lies in
// [0, seconds].
std::vector<Span> token_times(const std::vector<Token>& tokens, const std::vector<EngineWord>& words,
                              double seconds);

// --- noise.cpp ---------------------------------------------------------------------
// Held while an engine speaks (after its own lock): the engines' noise
// starts again from the same seed, and no other utterance draws from it.
std::unique_lock<std::mutex> same_noise();

// --- espeak.cpp, flite.cpp -------------------------------------------------------
// Each engine is one global state: these take its lock, so they are safe
// from any thread and run one at a time per engine.
Speech espeak_speak(const std::u32string& speakable_text, const std::string& voice);
std::vector<VoiceInfo> espeak_voices();
Speech flite_speak(const std::u32string& speakable_text, const std::string& voice);
std::vector<VoiceInfo> flite_voices();

// Speech of text by engine ("espeak-ng" or "flite"), with a span per
// written token; text without a spoken word gives a short silence.
struct Spoken {
    Speech speech;
    std::vector<Token> tokens;
    std::vector<Span> times;
};
Spoken speak(const std::u32string& text, const std::string& engine, const std::string& voice);

}  // namespace clipweave::voice
