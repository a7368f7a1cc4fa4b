// Faces found by the face model (BlazeFace, in ONNX, through OpenCV's dnn).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "follow.hpp"

namespace clipweave::follow {

// A box the model scored, in fractions of the square it searched.
struct Scored {
    double x = 0, y = 0, w = 0, h = 0;
    double score = 0;
};

// The boxes of the model's two output layers whose score reaches threshold:
// scores[l] and boxes[l] are layer l's (16 x 16 cells of 2 anchors, then
// 8 x 8 of 6; 16 values a box: its centre's offset, width, height, then
// six key points, in input pixels).
std::vector<Scored> decode_faces(const float* const scores[2], const float* const boxes[2], double threshold);
// One box per face: each strongest box with those overlapping it, their
// places blended by their scores.
std::vector<Scored> blend_faces(std::vector<Scored> found);

class FaceModel {
public:
    explicit FaceModel(const std::string& path);  // Failed if it cannot be read
    ~FaceModel();
    FaceModel(const FaceModel&) = delete;
    FaceModel& operator=(const FaceModel&) = delete;
    const std::string& path() const { return path_; }
    // The faces in a picture of packed BGR rows, in fractions of it. Not
    // safe to call from two threads at once.
    std::vector<Box> find(const std::uint8_t* bgr, int width, int height);

private:
    struct Net;
    std::string path_;
    std::unique_ptr<Net> net_;
};

}  // namespace clipweave::follow
