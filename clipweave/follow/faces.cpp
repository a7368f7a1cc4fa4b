// Faces found by a neural detector: BlazeFace (MediaPipe's short-range
// model for a camera facing away from its user, "back", 256 x 256), read by
// OpenCV's dnn module from ONNX. The anchors' decoding and the blending of
// overlapping boxes are done here.
#include <algorithm>
#include <cmath>
#include <opencv2/core.hpp>
#include <opencv2/dnn.hpp>
#include <opencv2/imgproc.hpp>

#include "faces.hpp"

namespace clipweave::follow {
namespace {

// The model's input: kInput x kInput RGB pixels in -1..1, NHWC.
constexpr int kInput = 256;
// Its two output layers: a grid of cells, each with this many anchors, an
// anchor's box (and six key points) as offsets in input pixels from the
// cell's centre.
struct Layer {
    int cells;
    int anchors;
};
constexpr Layer kLayers[2] = {{16, 2}, {8, 6}};  // 512 + 384 = 896 anchors
constexpr int kBoxValues = 16;                     // x, y, w, h and six (x, y) key points
// A box is a face from this score (0..1) on; boxes overlapping by this
// share (intersection over union) are one face, their places blended.
constexpr double kScore = 0.7;
constexpr double kSameFace = 0.3;

double sigmoid(double v) { return 1.0 / (1.0 + std::exp(-std::clamp(v, -80.0, 80.0))); }

double iou(const Scored& a, const Scored& b) {
    const double x0 = std::max(a.x, b.x), y0 = std::max(a.y, b.y);
    const double x1 = std::min(a.x + a.w, b.x + b.w), y1 = std::min(a.y + a.h, b.y + b.h);
    const double both = std::max(0.0, x1 - x0) * std::max(0.0, y1 - y0);
    const double either = a.w * a.h + b.w * b.h - both;
    return either > 0 ? both / either : 0.0;
}

// The square region of the picture the model looks at, scaled to its input.
struct Region {
    double x = 0, y = 0, side = 1;  // picture pixels; may reach past its edges (black)
};

cv::Mat input_of(const cv::Mat& bgr, const Region& r) {
    // The region as kInput x kInput: the picture's part of it scaled in, black elsewhere.
    const double s = kInput / r.side;
    const cv::Matx23d to_input(s, 0, -r.x * s, 0, s, -r.y * s);
    cv::Mat square;
    cv::warpAffine(bgr, square, to_input, cv::Size(kInput, kInput), s < 1 ? cv::INTER_AREA : cv::INTER_LINEAR,
                   cv::BORDER_CONSTANT, cv::Scalar(0, 0, 0));
    cv::Mat rgb, values;
    cv::cvtColor(square, rgb, cv::COLOR_BGR2RGB);
    rgb.convertTo(values, CV_32F, 1.0 / 127.5, -1.0);
    const int shape[] = {1, kInput, kInput, 3};
    return cv::Mat(4, shape, CV_32F, values.data).clone();
}

}  // namespace

std::vector<Scored> decode_faces(const float* const scores[2], const float* const boxes[2], double threshold) {
    std::vector<Scored> found;
    for (int l = 0; l < 2; ++l) {
        const Layer& layer = kLayers[l];
        int index = 0;
        for (int cy = 0; cy < layer.cells; ++cy)
            for (int cx = 0; cx < layer.cells; ++cx)
                for (int a = 0; a < layer.anchors; ++a, ++index) {
                    const double score = sigmoid(scores[l][index]);
                    if (!(score >= threshold)) continue;
                    const float* b = boxes[l] + static_cast<size_t>(index) * kBoxValues;
                    const double x = (cx + 0.5) / layer.cells + b[0] / kInput;
                    const double y = (cy + 0.5) / layer.cells + b[1] / kInput;
                    const double w = b[2] / kInput, h = b[3] / kInput;
                    if (!(w > 0 && h > 0 && std::isfinite(x) && std::isfinite(y))) continue;
                    found.push_back({x - w / 2, y - h / 2, w, h, score});
                }
    }
    return found;
}

std::vector<Scored> blend_faces(std::vector<Scored> found) {
    std::sort(found.begin(), found.end(), [](const Scored& a, const Scored& b) { return a.score > b.score; });
    std::vector<bool> used(found.size(), false);
    std::vector<Scored> out;
    for (size_t i = 0; i < found.size(); ++i) {
        if (used[i]) continue;
        // The strongest box and all that overlap it, their places weighed by their scores.
        Scored sum{0, 0, 0, 0, found[i].score};
        double weight = 0;
        for (size_t j = i; j < found.size(); ++j) {
            if (used[j] || (j != i && iou(found[i], found[j]) < kSameFace)) continue;
            used[j] = true;
            const double s = found[j].score;
            sum.x += s * found[j].x;
            sum.y += s * found[j].y;
            sum.w += s * found[j].w;
            sum.h += s * found[j].h;
            weight += s;
        }
        out.push_back({sum.x / weight, sum.y / weight, sum.w / weight, sum.h / weight, found[i].score});
    }
    return out;
}

struct FaceModel::Net {
    cv::dnn::Net net;
    std::vector<std::string> outputs;
};

FaceModel::FaceModel(const std::string& path) : path_(path), net_(std::make_unique<Net>()) {
    try {
        net_->net = cv::dnn::readNetFromONNX(path);
    } catch (const cv::Exception&) {
        throw common::Failed("cannot read the face model " + path);
    }
    if (net_->net.empty()) throw common::Failed("cannot read the face model " + path);
    net_->outputs = net_->net.getUnconnectedOutLayersNames();
    if (net_->outputs.size() != 4) throw common::Failed("the face model " + path + " is not BlazeFace's");
}

FaceModel::~FaceModel() = default;

std::vector<Box> FaceModel::find(const std::uint8_t* bgr, int width, int height) {
    const cv::Mat picture(height, width, CV_8UC3, const_cast<std::uint8_t*>(bgr));
    // The whole picture, letterboxed into the square the model sees: a face
    // some 20 pixels wide there (36 in a 384-pixel copy) is found. (Squares
    // along a wide picture would show it larger, at twice the cost.)
    const int length = std::max(width, height);
    const Region r{(width - length) / 2.0, (height - length) / 2.0, static_cast<double>(length)};
    net_->net.setInput(input_of(picture, r));
    std::vector<cv::Mat> out;
    net_->net.forward(out, net_->outputs);
    // The outputs by their shapes: scores (1 x n x 1) and boxes (1 x n x 16)
    // of the 16 x 16 grid (n = 512), then of the 8 x 8 one (n = 384).
    const float *scores[2] = {nullptr, nullptr}, *boxes[2] = {nullptr, nullptr};
    for (const cv::Mat& m : out) {
        if (m.dims != 3 || m.type() != CV_32F || !m.isContinuous()) continue;
        const int n = m.size[1], layer = n == kLayers[0].cells * kLayers[0].cells * kLayers[0].anchors ? 0
                                         : n == kLayers[1].cells * kLayers[1].cells * kLayers[1].anchors ? 1 : -1;
        if (layer >= 0 && m.size[2] == 1) scores[layer] = m.ptr<float>();
        if (layer >= 0 && m.size[2] == kBoxValues) boxes[layer] = m.ptr<float>();
    }
    if (!scores[0] || !scores[1] || !boxes[0] || !boxes[1])
        throw common::Failed("the face model " + path_ + " is not BlazeFace's");
    std::vector<Scored> found = decode_faces(scores, boxes, kScore);
    for (Scored& f : found) {
        // From the square's fractions to the picture's.
        f.x = (r.x + f.x * r.side) / width;
        f.y = (r.y + f.y * r.side) / height;
        f.w = f.w * r.side / width;
        f.h = f.h * r.side / height;
    }
    std::vector<Box> faces;
    for (const Scored& f : blend_faces(found)) {
        const double x0 = std::max(0.0, f.x), y0 = std::max(0.0, f.y);
        const double x1 = std::min(1.0, f.x + f.w), y1 = std::min(1.0, f.y + f.h);
        if (x1 > x0 && y1 > y0) faces.push_back({x0, y0, x1 - x0, y1 - y0, true});
    }
    return faces;
}

}  // namespace clipweave::follow
