// What is in a frame, with OpenCV: faces by the face model (faces.cpp), or
// by Haar cascades (frontal, and profile both ways) where there is none; HOG
// for people where no face is found; and the colour histogram that shot
// cuts are found by.
#include <algorithm>
#include <cmath>
#include <memory>
#include <mutex>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/objdetect.hpp>

#include "faces.hpp"
#include "follow.hpp"

namespace clipweave::follow {
namespace {

// The small copy's longer side: a face of about 1/16 of the frame's height
// (some 13 px on a wide frame) is still found.
constexpr int kLongSide = 384;
constexpr int kHueBins = 16, kSatBins = 4, kValBins = 4;

struct Detectors {
    std::string dir;  // of the cascades, loaded only without a face model
    std::string model;
    std::unique_ptr<FaceModel> faces;
    cv::CascadeClassifier frontal, profile;
    cv::HOGDescriptor people;
};

// Loading the detectors costs more than searching a frame: once per
// process, shared by every thread (each search takes the lock; neither
// OpenCV's classifiers nor its networks are safe to share).
std::mutex detectors_lock;
std::unique_ptr<Detectors> detectors;

Detectors& load(const std::string& dir, const std::string& model) {
    if (detectors && detectors->dir == dir && detectors->model == model) return *detectors;
    auto d = std::make_unique<Detectors>();
    d->dir = dir;
    d->model = model;
    if (!model.empty()) {
        d->faces = std::make_unique<FaceModel>(model);
    } else {
        const std::string base = dir.empty() || dir.back() == '/' ? dir : dir + "/";
        if (!d->frontal.load(base + "haarcascade_frontalface_default.xml"))
            throw common::Failed("cannot read the face cascade in " + dir);
        if (!d->profile.load(base + "haarcascade_profileface.xml"))
            throw common::Failed("cannot read the profile cascade in " + dir);
    }
    d->people.setSVMDetector(cv::HOGDescriptor::getDefaultPeopleDetector());
    detectors = std::move(d);
    return *detectors;
}

cv::Mat wrap(const Picture& p) {
    return cv::Mat(p.height, p.width, CV_8UC3, const_cast<std::uint8_t*>(p.bgr));
}

double overlap(const cv::Rect& a, const cv::Rect& b) {
    const double both = (a & b).area();
    return both / std::max(1, std::min(a.area(), b.area()));
}

// Boxes found by several detectors for one subject count once.
void add_unique(std::vector<cv::Rect>& into, const std::vector<cv::Rect>& more) {
    for (const cv::Rect& r : more) {
        bool seen = false;
        for (cv::Rect& have : into)
            if (overlap(have, r) > 0.4) {
                have |= r;
                seen = true;
            }
        if (!seen) into.push_back(r);
    }
}

}  // namespace

Size analysis_size(int width, int height) {
    if (width < 1 || height < 1) throw Refused("the frame has no size");
    const double s = std::min(1.0, static_cast<double>(kLongSide) / std::max(width, height));
    auto even = [](double v) { return std::max(2, static_cast<int>(std::lround(v / 2)) * 2); };
    return {even(width * s), even(height * s)};
}

void check_picture(const Picture& p, size_t bytes) {
    if (p.width < 1 || p.height < 1 || p.width > 8192 || p.height > 8192)
        throw Refused("a frame must be 1 to 8192 pixels each way");
    if (bytes != static_cast<size_t>(p.width) * static_cast<size_t>(p.height) * 3)
        throw Refused("a frame of " + std::to_string(p.width) + "x" + std::to_string(p.height) +
                      " BGR pixels has " + std::to_string(static_cast<size_t>(p.width) * p.height * 3) +
                      " bytes, got " + std::to_string(bytes));
}

std::vector<float> signature(const Picture& p) {
    cv::Mat hsv;
    cv::cvtColor(wrap(p), hsv, cv::COLOR_BGR2HSV);
    static_assert(kHueBins * kSatBins * kValBins == kHistogramBins);
    std::vector<float> h(kHistogramBins, 0.0f);
    for (int y = 0; y < hsv.rows; ++y) {
        const cv::Vec3b* row = hsv.ptr<cv::Vec3b>(y);
        for (int x = 0; x < hsv.cols; ++x) {
            const int hb = row[x][0] * kHueBins / 180, sb = row[x][1] * kSatBins / 256,
                      vb = row[x][2] * kValBins / 256;
            h[static_cast<size_t>((hb * kSatBins + sb) * kValBins + vb)] += 1.0f;
        }
    }
    const float total = static_cast<float>(hsv.rows) * static_cast<float>(hsv.cols);
    for (float& v : h) v /= total;
    // Then the picture's layout, a tiny grey copy: a cut between two shots
    // of the same colours (a dark film's reverse angle) still changes it.
    cv::Mat grey, tiny;
    cv::cvtColor(wrap(p), grey, cv::COLOR_BGR2GRAY);
    cv::resize(grey, tiny, cv::Size(kLayoutWidth, kLayoutHeight), 0, 0, cv::INTER_AREA);
    for (int y = 0; y < tiny.rows; ++y)
        for (int x = 0; x < tiny.cols; ++x) h.push_back(tiny.at<std::uint8_t>(y, x) / 255.0f);
    return h;
}

// Faces by the cascades: frontal, and profiles where no face looks ahead.
std::vector<cv::Rect> cascade_faces(Detectors& d, const cv::Mat& gray, int width) {
    const int smallest = std::max(12, std::min(gray.cols, gray.rows) / 16);
    const cv::Size min_size(smallest, smallest);
    std::vector<cv::Rect> faces, more;
    d.frontal.detectMultiScale(gray, faces, 1.1, 3, 0, min_size);
    // Profiles only where no face looks this way: the searches are most of the cost.
    if (faces.empty()) {
        d.profile.detectMultiScale(gray, faces, 1.2, 5, 0, min_size);
        // The profile cascade knows faces turned one way; the mirror finds the other.
        cv::Mat mirrored;
        cv::flip(gray, mirrored, 1);
        d.profile.detectMultiScale(mirrored, more, 1.2, 5, 0, min_size);
        for (cv::Rect& r : more) r.x = width - r.x - r.width;
        add_unique(faces, more);
    }
    return faces;
}

std::vector<Box> detect(const Picture& p, const std::string& cascade_dir, const std::string& face_model) {
    std::vector<Box> out;
    std::lock_guard<std::mutex> hold(detectors_lock);
    Detectors& d = load(cascade_dir, face_model);
    cv::Mat gray;
    cv::cvtColor(wrap(p), gray, cv::COLOR_BGR2GRAY);
    // Evened out, a dark or washed-out frame shows its faces as a normal one does.
    cv::equalizeHist(gray, gray);
    std::vector<cv::Rect> faces;
    if (d.faces) out = d.faces->find(p.bgr, p.width, p.height);
    else faces = cascade_faces(d, gray, p.width);
    const double w = p.width, h = p.height;
    for (const cv::Rect& r : faces) out.push_back({r.x / w, r.y / h, r.width / w, r.height / h, true});
    if (!out.empty() || p.height < 128 || p.width < 64) return out;
    std::vector<cv::Rect> people;
    std::vector<double> weights;
    d.people.detectMultiScale(gray, people, weights, 0, cv::Size(8, 8), cv::Size(0, 0), 1.1, 2);
    for (size_t i = 0; i < people.size(); ++i) {
        if (i < weights.size() && weights[i] < 0.5) continue;
        const cv::Rect r = people[i] & cv::Rect(0, 0, p.width, p.height);
        // HOG's window holds a margin around the person.
        const double mx = r.width * 0.15;
        out.push_back({(r.x + mx) / w, r.y / h, (r.width - 2 * mx) / w, r.height / h, false});
    }
    return out;
}

}  // namespace clipweave::follow
