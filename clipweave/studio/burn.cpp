// Burning captions and the title in: libass draws the ASS file, and the
// colour emoji it cannot draw are laid over it as pictures.
#include <map>
#include <string>
#include <vector>

#include "core.hpp"

namespace clipweave::studio {

std::string pam_image(const Picture& picture) {
    std::string out = "P7\nWIDTH " + std::to_string(picture.width) + "\nHEIGHT " + std::to_string(picture.height) +
                      "\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n";
    out.append(picture.rgba.begin(), picture.rgba.end());
    return out;
}

std::string burn_in(const Job& job, const std::vector<EmojiShown>& emoji, const std::vector<std::string>& pictures,
                    double rate, double from, double to, size_t first_input, std::vector<std::string>& inputs,
                    const std::string& in, const std::string& out) {
    std::string g = "[" + in + "]subtitles=filename=" + filter_arg(job.captions_file);
    // Each picture shown in [from, to) is read once and split for each time it is.
    std::map<size_t, std::vector<size_t>> uses;
    for (size_t k = 0; k < emoji.size(); ++k)
        if (emoji[k].end > from && emoji[k].start < to && emoji[k].picture < pictures.size())
            uses[emoji[k].picture].push_back(k);
    if (uses.empty()) return g + "[" + out + "]";
    g += "[burn0]";
    std::map<size_t, std::string> label;  // emoji -> its picture's copy
    size_t input = first_input;
    for (const auto& [picture, shown] : uses) {
        inputs.insert(inputs.end(), {"-i", file_url(pictures[picture])});
        const std::string p = "pic" + std::to_string(picture);
        g += ";[" + std::to_string(input++) + ":v:0]format=rgba,split=" + std::to_string(shown.size());
        for (size_t i = 0; i < shown.size(); ++i) {
            label[shown[i]] = p + "_" + std::to_string(i);
            g += "[" + label[shown[i]] + "]";
        }
    }
    // Frames have the times of the finished video here; half a frame either
    // side of the times keeps rounding off the edges.
    const double half = 0.5 / rate;
    size_t step = 0;
    for (const auto& [k, copy] : label) {
        const EmojiShown& e = emoji[k];
        const std::string from_label = "burn" + std::to_string(step);
        const std::string to_label = ++step == label.size() ? out : "burn" + std::to_string(step);
        g += ";[" + from_label + "][" + copy + "]overlay=x=" + std::to_string(e.x) + ":y=" + std::to_string(e.y) +
             ":enable=" + filter_arg("between(t," + number(e.start - half) + "," + number(e.end - half) + ")") +
             "[" + to_label + "]";
    }
    return g;
}

}  // namespace clipweave::studio
