// Both engines excite unvoiced sounds with noise from the C library's
// rand(): one sequence for the whole process, so the same text came out
// with other samples each time it was spoken (and with what another thread
// spoke meanwhile). Each utterance starts the sequence again, under one lock
// for both engines: a text is spoken alike every time, in any process.
#include <cstdlib>

#include "voice.hpp"

namespace clipweave::voice {

std::unique_lock<std::mutex> same_noise() {
    static std::mutex noise_lock;
    std::unique_lock<std::mutex> held(noise_lock);
    std::srand(1);
    return held;
}

}  // namespace clipweave::voice
