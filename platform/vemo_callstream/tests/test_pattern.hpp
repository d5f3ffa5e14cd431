#pragma once

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "vemo_callstream/picture.hpp"

namespace vemo_callstream::testing {

// A camera-like moving picture: soft gradients, a bright square sliding across and a
// striped band scrolling down, so that motion, flat areas and edges all occur.
inline std::vector<uint8_t> moving_pattern(int width, int height, int frame) {
    std::vector<uint8_t> rgba(size_t(width) * height * 4);
    int box = height / 4;
    int bx = (frame * 7) % std::max(width - box, 1);
    int by = height / 3 + int(std::sin(frame * 0.1) * height / 8);
    int band = (frame * 3) % height;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            uint8_t* p = &rgba[(size_t(y) * width + x) * 4];
            int r = x * 255 / width, g = y * 255 / height, b = 128;
            if (x >= bx && x < bx + box && y >= by && y < by + box) r = g = b = 240;
            if (std::abs(y - band) < 12 && (x / 8) % 2 == 0) r = g = b = 20;
            p[0] = uint8_t(r);
            p[1] = uint8_t(g);
            p[2] = uint8_t(b);
            p[3] = 255;
        }
    }
    return rgba;
}

inline std::vector<uint8_t> noise_frame(int width, int height, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> rgba(size_t(width) * height * 4);
    for (size_t i = 0; i < rgba.size(); i += 4) {
        uint32_t v = rng();
        rgba[i] = uint8_t(v);
        rgba[i + 1] = uint8_t(v >> 8);
        rgba[i + 2] = uint8_t(v >> 16);
        rgba[i + 3] = 255;
    }
    return rgba;
}

// Peak signal-to-noise ratio of the luma planes, in dB (99 for identical planes).
inline double luma_psnr(Picture const& a, Picture const& b) {
    if (a.width != b.width || a.height != b.height) return 0;
    double sum = 0;
    size_t n = size_t(a.width) * a.height;
    for (size_t i = 0; i < n; ++i) {
        double d = double(a.y()[i]) - double(b.y()[i]);
        sum += d * d;
    }
    if (sum == 0) return 99;
    return 10 * std::log10(255.0 * 255.0 / (sum / double(n)));
}

}  // namespace vemo_callstream::testing
