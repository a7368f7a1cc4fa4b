#include "features.hpp"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <mutex>

namespace clipweave::align {
namespace {

constexpr int kBands = 32;
constexpr int kCepstra = 12;  // c1..c12: c0 is the level, which the silence cue carries
constexpr double kLowHz = 80;
constexpr double kPreEmphasis = 0.97;
// Silence below this much under full scale, whatever the recording.
constexpr double kQuietDb = -65;
// A recording whose loud and quiet frames differ by less holds no speech.
constexpr double kMinRangeDb = 8;
constexpr float kSlopeWeight = 0.6f;
constexpr double kPi = 3.14159265358979323846;

// FFTW's planner is not thread-safe; its plans' execution is.
std::mutex planner;

struct FftwFree {
    void operator()(void* p) const { fftw_free(p); }
};

class Fft {
public:
    explicit Fft(int n)
        : n_(n),
          in_(static_cast<double*>(fftw_malloc(sizeof(double) * static_cast<size_t>(n)))),
          out_(static_cast<fftw_complex*>(fftw_malloc(sizeof(fftw_complex) * static_cast<size_t>(n / 2 + 1)))) {
        if (!in_ || !out_) throw std::bad_alloc();
        std::lock_guard<std::mutex> lock(planner);
        plan_ = fftw_plan_dft_r2c_1d(n, in_.get(), out_.get(), FFTW_ESTIMATE);
        if (plan_ == nullptr) throw std::bad_alloc();
    }
    ~Fft() {
        std::lock_guard<std::mutex> lock(planner);
        fftw_destroy_plan(plan_);
    }
    Fft(const Fft&) = delete;
    Fft& operator=(const Fft&) = delete;

    double* input() { return in_.get(); }
    // |X(k)|^2 for k = 0 .. n/2 of the input.
    void power(std::vector<double>& out) {
        fftw_execute(plan_);
        out.resize(static_cast<size_t>(n_ / 2 + 1));
        for (int k = 0; k <= n_ / 2; ++k) out[k] = out_.get()[k][0] * out_.get()[k][0] + out_.get()[k][1] * out_.get()[k][1];
    }

private:
    int n_;
    std::unique_ptr<double, FftwFree> in_;
    std::unique_ptr<fftw_complex, FftwFree> out_;
    fftw_plan plan_ = nullptr;
};

double hz_to_mel(double hz) { return 2595.0 * std::log10(1.0 + hz / 700.0); }
double mel_to_hz(double mel) { return 700.0 * (std::pow(10.0, mel / 2595.0) - 1.0); }

// Triangular filters, equally spaced in mel, as (first bin, weights).
struct Filter {
    int first = 0;
    std::vector<double> weights;
};

std::vector<Filter> mel_filters(int fft_size, int rate, double top_hz) {
    const double lo = hz_to_mel(kLowHz), hi = hz_to_mel(top_hz);
    std::vector<double> edges(kBands + 2);
    for (int b = 0; b < kBands + 2; ++b) edges[b] = mel_to_hz(lo + (hi - lo) * b / (kBands + 1));
    std::vector<Filter> filters(kBands);
    const double bin_hz = static_cast<double>(rate) / fft_size;
    for (int b = 0; b < kBands; ++b) {
        const double left = edges[b], centre = edges[b + 1], right = edges[b + 2];
        Filter& f = filters[b];
        f.first = static_cast<int>(std::ceil(left / bin_hz));
        const int last = std::min(fft_size / 2, static_cast<int>(std::floor(right / bin_hz)));
        for (int k = f.first; k <= last; ++k) {
            const double hz = k * bin_hz;
            const double w = hz <= centre ? (hz - left) / (centre - left) : (right - hz) / (right - centre);
            f.weights.push_back(std::max(0.0, w));
        }
        // A band narrower than a bin at a low rate still gets its nearest bin.
        if (f.weights.empty()) {
            f.first = std::min(fft_size / 2, static_cast<int>(std::lround(centre / bin_hz)));
            f.weights.push_back(1.0);
        }
    }
    return filters;
}

float percentile(std::vector<float> v, double q) {
    if (v.empty()) return 0;
    const size_t k = std::min(v.size() - 1, static_cast<size_t>(q * static_cast<double>(v.size())));
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(k), v.end());
    return v[k];
}

// Each feature of the frames that hold sound to zero mean and unit variance,
// applied to every frame: the voice and the channel drop out, and the pauses,
// however long, do not weigh on the statistics.
void normalise(std::vector<float>& values, int dim, const std::vector<float>& silence) {
    const size_t frames = silence.size();
    std::vector<double> sum(dim, 0.0), squares(dim, 0.0);
    double count = 0;
    for (size_t i = 0; i < frames; ++i) {
        const double w = 1.0 - silence[i];
        count += w;
        for (int d = 0; d < dim; ++d) {
            const double x = values[i * dim + d];
            sum[d] += w * x;
            squares[d] += w * x * x;
        }
    }
    if (count < 1) return;
    for (int d = 0; d < dim; ++d) {
        const double mean = sum[d] / count;
        const double sd = std::sqrt(std::max(1e-6, squares[d] / count - mean * mean));
        for (size_t i = 0; i < frames; ++i) values[i * dim + d] = static_cast<float>((values[i * dim + d] - mean) / sd);
    }
}

}  // namespace

Frames frames_of(const Audio& audio, double top_hz) {
    Frames out;
    const double hop = audio.rate * kHopSeconds;
    const int window = static_cast<int>(std::lround(audio.rate * kWindowSeconds));
    const size_t count = audio.count == 0 ? 0 : static_cast<size_t>(std::ceil(audio.count / hop));
    int fft_size = 1;
    while (fft_size < window) fft_size *= 2;

    std::vector<double> hamming(window);
    for (int k = 0; k < window; ++k) hamming[k] = 0.54 - 0.46 * std::cos(2 * kPi * k / (window - 1));
    const std::vector<Filter> filters = mel_filters(fft_size, audio.rate, top_hz);
    // DCT-II rows for c1..c12.
    std::vector<double> dct(static_cast<size_t>(kCepstra) * kBands);
    for (int c = 0; c < kCepstra; ++c)
        for (int b = 0; b < kBands; ++b) dct[c * kBands + b] = std::cos(kPi * (c + 1) * (b + 0.5) / kBands);

    Fft fft(fft_size);
    std::vector<double> power;
    std::vector<float> bands(count * kBands);
    out.level.resize(count);
    double loudest_band = 0;
    for (size_t i = 0; i < count; ++i) {
        const size_t start = static_cast<size_t>(std::floor(i * hop));
        double* x = fft.input();
        double energy = 0, previous = start > 0 && start - 1 < audio.count ? audio.samples[start - 1] / 32768.0 : 0.0;
        for (int k = 0; k < window; ++k) {
            const size_t at = start + static_cast<size_t>(k);
            const double s = at < audio.count ? audio.samples[at] / 32768.0 : 0.0;
            energy += s * s;
            x[k] = (s - kPreEmphasis * previous) * hamming[k];
            previous = s;
        }
        std::fill(x + window, x + fft_size, 0.0);
        out.level[i] = static_cast<float>(10 * std::log10(energy / window + 1e-12));
        fft.power(power);
        for (int b = 0; b < kBands; ++b) {
            double e = 0;
            const Filter& f = filters[b];
            for (size_t k = 0; k < f.weights.size(); ++k) e += f.weights[k] * power[f.first + k];
            bands[i * kBands + b] = static_cast<float>(e);
            loudest_band = std::max(loudest_band, e);
        }
    }

    // Silence: well below the recording's loud frames and near its floor,
    // judged on its own levels since a noisy channel has a higher floor.
    const float loud = percentile(out.level, 0.97);
    const float quiet = percentile(out.level, 0.05);
    out.has_sound = count > 0 && loud > kQuietDb && loud - quiet > kMinRangeDb;
    const double threshold = std::max<double>({quiet + 0.3 * (loud - quiet), loud - 45.0, kQuietDb});
    out.silence.resize(count);
    for (size_t i = 0; i < count; ++i)
        out.silence[i] = out.has_sound ? static_cast<float>(1.0 / (1.0 + std::exp((out.level[i] - threshold) / 3.0))) : 1.0f;

    // Log energies floored 65 dB under the loudest band: noise and digital
    // silence look alike.
    const double floor = std::max(loudest_band * 3e-7, 1e-20);
    std::vector<float> cepstra(count * kCepstra);
    std::vector<double> logs(kBands);
    for (size_t i = 0; i < count; ++i) {
        for (int b = 0; b < kBands; ++b) logs[b] = std::log(std::max<double>(bands[i * kBands + b], floor));
        for (int c = 0; c < kCepstra; ++c) {
            double v = 0;
            for (int b = 0; b < kBands; ++b) v += dct[c * kBands + b] * logs[b];
            cepstra[i * kCepstra + c] = static_cast<float>(v);
        }
    }
    normalise(cepstra, kCepstra, out.silence);

    // The cepstra and their slopes over +-2 frames; the slopes weigh less.
    out.dim = 2 * kCepstra;
    out.values.assign(count * out.dim, 0.0f);
    for (size_t i = 0; i < count; ++i) {
        for (int c = 0; c < kCepstra; ++c) {
            double slope = 0;
            for (int k = 1; k <= 2; ++k) {
                const size_t ahead = std::min(count - 1, i + k), behind = i >= static_cast<size_t>(k) ? i - k : 0;
                slope += k * (cepstra[ahead * kCepstra + c] - cepstra[behind * kCepstra + c]);
            }
            out.values[i * out.dim + c] = cepstra[i * kCepstra + c];
            out.values[i * out.dim + kCepstra + c] = static_cast<float>(slope / 10.0);
        }
    }
    normalise(out.values, out.dim, out.silence);
    for (size_t i = 0; i < count; ++i)
        for (int c = kCepstra; c < out.dim; ++c) out.values[i * out.dim + c] *= kSlopeWeight;
    return out;
}

}  // namespace clipweave::align
