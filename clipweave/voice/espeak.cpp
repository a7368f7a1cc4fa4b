// espeak-ng through libespeak-ng: samples and word events in one
// synchronous synthesis. The library is one global state (voice, callback,
// buffers), so everything here runs under one lock.
#include <espeak-ng/speak_lib.h>

#include <algorithm>
#include <cctype>
#include <mutex>

#include "voice.hpp"

namespace clipweave::voice {
namespace {

std::mutex espeak_lock;
int espeak_rate = 0;  // 0 until the library is initialised

struct Collected {
    std::vector<int16_t> pcm;
    std::vector<espeak_EVENT> events;
};
Collected* collecting = nullptr;  // the synthesis under way, under espeak_lock

int on_synth(short* samples, int count, espeak_EVENT* events) {
    if (collecting == nullptr) return 1;
    if (samples != nullptr && count > 0) collecting->pcm.insert(collecting->pcm.end(), samples, samples + count);
    for (; events != nullptr && events->type != espeakEVENT_LIST_TERMINATED; ++events)
        collecting->events.push_back(*events);
    return 0;
}

// Under espeak_lock.
void initialise() {
    if (espeak_rate > 0) return;
    // DONT_EXIT: without it a missing data directory ends the process.
    const int rate = espeak_Initialize(AUDIO_OUTPUT_SYNCHRONOUS, 0, nullptr, espeakINITIALIZE_DONT_EXIT);
    if (rate <= 0) throw EngineFailed("espeak-ng could not start (is espeak-ng-data installed?)");
    espeak_SetSynthCallback(on_synth);
    espeak_rate = rate;
}

// A voice by its name ("en-us" names a file too) or else by its language
// ("fr-fr" is roa/fr's): what the voices list shows is what is accepted.
bool select_voice(const std::string& voice) {
    if (voice.empty()) return false;
    if (espeak_SetVoiceByName(voice.c_str()) == EE_OK) return true;
    for (const espeak_VOICE** v = espeak_ListVoices(nullptr); v != nullptr && *v != nullptr; ++v) {
        const char* languages = (*v)->languages;
        if (languages == nullptr || languages[0] == '\0' || (*v)->identifier == nullptr) continue;
        std::string language(languages + 1);
        std::transform(language.begin(), language.end(), language.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (language == voice) return espeak_SetVoiceByName((*v)->identifier) == EE_OK;
    }
    return false;
}

bool is_boundary(espeak_EVENT_TYPE type) {
    return type == espeakEVENT_WORD || type == espeakEVENT_END || type == espeakEVENT_SENTENCE ||
           type == espeakEVENT_MSG_TERMINATED;
}

}  // namespace

Speech espeak_speak(const std::u32string& speakable_text, const std::string& voice) {
    std::lock_guard<std::mutex> guard(espeak_lock);
    initialise();
    if (!select_voice(voice))
        throw Refused("unknown espeak-ng voice '" + voice.substr(0, 40) + "'");
    Speech out;
    out.rate = espeak_rate;
    if (speakable_text.empty()) return out;
    const std::string utf8 = encode_utf8(speakable_text);
    Collected collected;
    collecting = &collected;
    // Its own state (the pitch flutter's phase) still carries over from one
    // text to the next; its noise no longer takes from flite's.
    const auto noise = same_noise();
    const espeak_ERROR rc = espeak_Synth(utf8.c_str(), utf8.size() + 1, 0, POS_CHARACTER, 0,
                                         espeakCHARS_UTF8 | espeakENDPAUSE, nullptr, nullptr);
    collecting = nullptr;
    if (rc != EE_OK) throw EngineFailed("espeak-ng could not speak the text");
    out.pcm = std::move(collected.pcm);
    const double seconds = out.seconds();
    // A word lasts until the next word, clause end or end of speech; its
    // text position counts code points from 1.
    const auto& events = collected.events;
    int last_position = 0;
    for (size_t i = 0; i < events.size(); ++i) {
        // Positions count from 1: a word at 0 (the library sometimes adds
        // one at a clause's end) names no text, though it still ends the
        // word before it. Nor does a word whose position goes back to text
        // already spoken: the library sometimes repeats one at the end of
        // the speech, which would pull that word and all after it there.
        if (events[i].type != espeakEVENT_WORD || events[i].text_position <= last_position) continue;
        last_position = events[i].text_position;
        const double start = events[i].audio_position / 1000.0;
        double end = seconds;
        for (size_t j = i + 1; j < events.size(); ++j) {
            if (is_boundary(events[j].type) && events[j].audio_position / 1000.0 >= start) {
                end = events[j].audio_position / 1000.0;
                break;
            }
        }
        const size_t offset = static_cast<size_t>(events[i].text_position - 1);
        out.words.push_back({offset, start, std::min(end, seconds)});
    }
    return out;
}

std::vector<VoiceInfo> espeak_voices() {
    std::lock_guard<std::mutex> guard(espeak_lock);
    initialise();
    std::vector<VoiceInfo> out;
    for (const espeak_VOICE** v = espeak_ListVoices(nullptr); v != nullptr && *v != nullptr; ++v) {
        // languages: a priority byte, then the name, NUL-terminated; the first is the voice's own.
        const char* languages = (*v)->languages;
        if (languages == nullptr || languages[0] == '\0') continue;
        std::string language(languages + 1);
        std::transform(language.begin(), language.end(), language.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (language.empty()) continue;
        out.push_back({"espeak-ng", language, language});
    }
    std::sort(out.begin(), out.end(), [](const VoiceInfo& a, const VoiceInfo& b) { return a.name < b.name; });
    out.erase(std::unique(out.begin(), out.end(),
                          [](const VoiceInfo& a, const VoiceInfo& b) { return a.name == b.name; }),
              out.end());
    return out;
}

}  // namespace clipweave::voice
