#include "shadow_mask.hpp"

#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <list>
#include <numbers>
#include <vector>

namespace vemo_ui {

namespace {

constexpr int max_side = 16384;
constexpr size_t cache_capacity = 48;

struct Key {
    int width, height, radius2, blur2;  // radius and blur in half pixels
    bool operator==(Key const&) const = default;
};

struct Entry {
    Key key;
    ShadowMask mask;
};

// Division by the window is the inner loop's cost; a fixed-point reciprocal avoids it.
uint64_t reciprocal_of(int window) {
    return ((uint64_t(1) << 32) + uint64_t(window) - 1) / uint64_t(window);
}
uint8_t average(int sum, uint64_t reciprocal) {
    return uint8_t(
        std::min<uint64_t>(255, (uint64_t(sum) * reciprocal + (uint64_t(1) << 31)) >> 32));
}

// One running-sum box pass over `count` samples spaced `step` apart; outside is empty.
void box_pass(uint8_t* data, int count, int step, int radius, std::vector<uint8_t>& scratch) {
    scratch.resize(size_t(count));
    for (int i = 0; i < count; ++i) scratch[size_t(i)] = data[size_t(i) * step];
    uint64_t reciprocal = reciprocal_of(2 * radius + 1);
    int sum = 0;
    for (int i = 0; i < std::min(radius, count); ++i) sum += scratch[size_t(i)];
    for (int i = 0; i < count; ++i) {
        int enter = i + radius;
        int leave = i - radius - 1;
        if (enter < count) sum += scratch[size_t(enter)];
        if (leave >= 0) sum -= scratch[size_t(leave)];
        data[size_t(i) * step] = average(sum, reciprocal);
    }
}

// The vertical pass walks rows, keeping one running sum per column, so it reads memory in
// order instead of striding down each column.
void vertical_pass(uint8_t* data, int width, int height, int stride, int radius,
                   std::vector<uint8_t>& copy, std::vector<int>& sums) {
    copy.assign(data, data + size_t(height) * stride);
    sums.assign(size_t(width), 0);
    auto row = [&](int y) { return copy.data() + size_t(y) * stride; };
    for (int y = 0; y < std::min(radius, height); ++y)
        for (int x = 0; x < width; ++x) sums[size_t(x)] += row(y)[x];
    uint64_t reciprocal = reciprocal_of(2 * radius + 1);
    for (int y = 0; y < height; ++y) {
        int enter = y + radius, leave = y - radius - 1;
        if (enter < height)
            for (int x = 0; x < width; ++x) sums[size_t(x)] += row(enter)[x];
        if (leave >= 0)
            for (int x = 0; x < width; ++x) sums[size_t(x)] -= row(leave)[x];
        uint8_t* out = data + size_t(y) * stride;
        for (int x = 0; x < width; ++x) out[x] = average(sums[size_t(x)], reciprocal);
    }
}

void box_blur(uint8_t* data, int width, int height, int stride, int radius) {
    std::vector<uint8_t> scratch;
    std::vector<int> sums;
    // Three box passes approximate a Gaussian closely enough for a shadow.
    for (int pass = 0; pass < 3; ++pass) {
        for (int y = 0; y < height; ++y)
            box_pass(data + size_t(y) * stride, width, 1, radius, scratch);
        vertical_pass(data, width, height, stride, radius, scratch, sums);
    }
}

ShadowMask build(Key const& key) {
    // A wide blur has no detail worth computing at full resolution: work at a half or a
    // quarter and let the bilinear filter scale it back up.
    double device_blur = key.blur2 / 2.0;
    int downscale = device_blur >= 32 ? 4 : device_blur >= 12 ? 2 : 1;
    double blur = device_blur / downscale;
    double w = double(key.width) / downscale, h = double(key.height) / downscale;
    double radius = std::min({key.radius2 / 2.0 / downscale, w / 2, h / 2});
    int padding = int(std::ceil(1.5 * blur)) + 1;
    int width = int(std::ceil(w)) + 2 * padding;
    int height = int(std::ceil(h)) + 2 * padding;
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_A8, width, height);
    cairo_t* cr = cairo_create(surface);
    double x0 = padding, y0 = padding, x1 = padding + w, y1 = padding + h;
    constexpr double quarter = std::numbers::pi / 2;
    cairo_new_sub_path(cr);
    cairo_arc(cr, x1 - radius, y0 + radius, radius, -quarter, 0);
    cairo_arc(cr, x1 - radius, y1 - radius, radius, 0, quarter);
    cairo_arc(cr, x0 + radius, y1 - radius, radius, quarter, 2 * quarter);
    cairo_arc(cr, x0 + radius, y0 + radius, radius, 2 * quarter, 3 * quarter);
    cairo_close_path(cr);
    cairo_fill(cr);
    cairo_destroy(cr);
    cairo_surface_flush(surface);

    // A Gaussian whose soft edge spans about `blur` pixels: sigma = blur / 2, and three
    // boxes of width w have variance (w² − 1) / 4.
    double sigma = blur / 2;
    int box_radius = int(std::lround((std::sqrt(4 * sigma * sigma + 1) - 1) / 2));
    if (box_radius > 0) {
        box_blur(cairo_image_surface_get_data(surface), width, height,
                 cairo_image_surface_get_stride(surface), box_radius);
        cairo_surface_mark_dirty(surface);
    }
    return ShadowMask{surface, padding * downscale, downscale};
}

class MaskCache {
  public:
    ~MaskCache() {
        for (Entry& e : m_entries) cairo_surface_destroy(e.mask.surface);
    }

    ShadowMask const* get(Key const& key) {
        auto it = std::find_if(m_entries.begin(), m_entries.end(),
                               [&](Entry const& e) { return e.key == key; });
        if (it != m_entries.end()) {
            m_entries.splice(m_entries.begin(), m_entries, it);
            return &m_entries.front().mask;
        }
        if (m_entries.size() >= cache_capacity) {
            cairo_surface_destroy(m_entries.back().mask.surface);
            m_entries.pop_back();
        }
        m_entries.push_front(Entry{key, build(key)});
        return &m_entries.front().mask;
    }

  private:
    std::list<Entry> m_entries;
};

}  // namespace

ShadowMask const* shadow_mask_for(double width, double height, double radius, double blur) {
    if (!(width >= 1 && height >= 1 && width <= max_side && height <= max_side)) return nullptr;
    if (!std::isfinite(radius) || !std::isfinite(blur)) return nullptr;
    blur = std::clamp(blur, 0.0, 256.0);
    radius = std::clamp(radius, 0.0, double(max_side));
    thread_local MaskCache cache;
    return cache.get(Key{int(std::lround(width)), int(std::lround(height)),
                         int(std::lround(radius * 2)), int(std::lround(blur * 2))});
}

}  // namespace vemo_ui
