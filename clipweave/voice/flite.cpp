// flite through libflite: a whole utterance at once, and each word's time
// from its segments. Voices register once; synthesis runs under one lock,
// as the voices' feature sets and the lexicon are shared.
extern "C" {
#include <flite/flite.h>
cst_voice* register_cmu_us_slt(const char* voxdir);
cst_voice* register_cmu_us_rms(const char* voxdir);
cst_voice* register_cmu_us_awb(const char* voxdir);
cst_voice* register_cmu_us_kal(const char* voxdir);
}

#include <cstring>
#include <memory>
#include <mutex>

#include "voice.hpp"

namespace clipweave::voice {
namespace {

struct FliteVoice {
    const char* name;
    const char* language;
    cst_voice* (*registrar)(const char*);
    cst_voice* voice;
};

std::mutex flite_lock;
bool flite_started = false;
FliteVoice flite_table[] = {
    {"slt", "en-us", register_cmu_us_slt, nullptr},
    {"rms", "en-us", register_cmu_us_rms, nullptr},
    {"awb", "en-gb-scotland", register_cmu_us_awb, nullptr},
    {"kal", "en-us", register_cmu_us_kal, nullptr},
};

// Under flite_lock.
cst_voice* voice_named(const std::string& name) {
    if (!flite_started) {
        flite_init();
        flite_started = true;
    }
    for (FliteVoice& v : flite_table) {
        if (name != v.name) continue;
        if (v.voice == nullptr) v.voice = v.registrar(nullptr);
        if (v.voice == nullptr) throw EngineFailed("flite could not load its voice " + name);
        return v.voice;
    }
    throw Refused("unknown flite voice '" + name.substr(0, 40) + "' (slt, rms, awb or kal)");
}

struct UtteranceDeleter {
    void operator()(cst_utterance* u) const { delete_utterance(u); }
};

// Where a word's sound begins and ends: the end of the segment before its
// first segment, and the end of its last one. False for a word that has no
// segments (flite says nothing for it).
bool word_span(cst_item* word, double& start, double& end) {
    cst_item* syllables = item_as(word, "SylStructure");
    if (syllables == nullptr) return false;
    cst_item* first_syllable = item_daughter(syllables);
    cst_item* last_syllable = item_last_daughter(syllables);
    if (first_syllable == nullptr || last_syllable == nullptr) return false;
    cst_item* first = item_daughter(first_syllable);
    cst_item* last = item_last_daughter(last_syllable);
    if (first == nullptr || last == nullptr) return false;
    cst_item* before = item_prev(item_as(first, "Segment"));
    start = before != nullptr ? item_feat_float(before, "end") : 0.0;
    end = item_feat_float(last, "end");
    return true;
}

}  // namespace

Speech flite_speak(const std::u32string& speakable_text, const std::string& voice) {
    std::lock_guard<std::mutex> guard(flite_lock);
    cst_voice* v = voice_named(voice);
    Speech out;
    // The voice's own rate, for silence when there is nothing to say.
    out.rate = get_param_int(v->features, "sample_rate", 16000);
    if (speakable_text.empty()) return out;
    // Byte offsets of the UTF-8 text back to code points.
    std::string utf8;
    std::vector<size_t> code_point_at;
    for (size_t i = 0; i < speakable_text.size(); ++i) {
        const std::string one = encode_utf8(std::u32string(1, speakable_text[i]));
        utf8 += one;
        code_point_at.insert(code_point_at.end(), one.size(), i);
    }
    code_point_at.push_back(speakable_text.size());
    const auto noise = same_noise();
    std::unique_ptr<cst_utterance, UtteranceDeleter> utt(flite_synth_text(utf8.c_str(), v));
    if (!utt) throw EngineFailed("flite could not speak the text");
    cst_wave* wave = utt_wave(utt.get());
    if (wave == nullptr || wave->num_channels != 1) throw EngineFailed("flite gave no mono audio");
    out.rate = wave->sample_rate;
    out.pcm.assign(wave->samples, wave->samples + wave->num_samples);
    // Tokens come in text order; each is found by its name from where the
    // last one ended (flite keeps no offsets).
    size_t cursor = 0;
    for (cst_item* token = relation_head(utt_relation(utt.get(), "Token")); token != nullptr;
         token = item_next(token)) {
        const char* name = item_feat_string(token, "name");
        size_t at = cursor;
        if (name != nullptr && name[0] != '\0') {
            const size_t found = utf8.find(name, cursor);
            if (found != std::string::npos) {
                at = found;
                cursor = found + std::strlen(name);
            }
        }
        for (cst_item* word = item_daughter(item_as(token, "Token")); word != nullptr; word = item_next(word)) {
            double start = 0.0, end = 0.0;
            if (word_span(word, start, end)) out.words.push_back({code_point_at[at], start, end});
        }
    }
    return out;
}

std::vector<VoiceInfo> flite_voices() {
    std::vector<VoiceInfo> out;
    for (const FliteVoice& v : flite_table) out.push_back({"flite", v.name, v.language});
    return out;
}

}  // namespace clipweave::voice
