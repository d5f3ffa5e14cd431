#include "render_call/call_tiles.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace chat::render_call {

using vemo_ui::Rect;

namespace {

constexpr double featured_gap = 14;
constexpr double strip_gap = 12;

TileLayout grid(Rect area, size_t n) {
    TileLayout out;
    double W = area.width, H = area.height;
    if (n == 0 || W <= 1 || H <= 1) return out;
    double g = std::min(std::max(0.05 * std::min(W, H), 6.0), 16.0);
    auto cell = [&](size_t c) {
        size_t r = (n + c - 1) / c;
        return std::pair{(W - g * double(c - 1)) / double(c), (H - g * double(r - 1)) / double(r)};
    };
    size_t best = 1;
    double best_score = -std::numeric_limits<double>::infinity();
    for (size_t c = 1; c <= n; ++c) {
        auto [w, h] = cell(c);
        if (!(w > 0 && h > 0)) continue;
        double a = w / h;
        double f = a < 0.85 ? a / 0.85 : a > 2.4 ? 2.4 / a : 1.0;
        double score = std::min(w, 1.6 * h) * f;
        if (score > best_score) best_score = score, best = c;
    }
    auto [w, h] = cell(best);
    for (size_t i = 0; i < n; ++i) {
        size_t q = i / best;
        size_t col = i - q * best;
        size_t k = std::min(best, n - q * best);
        double row_width = double(k) * w + g * double(k - 1);
        out.tiles.push_back({area.x + (W - row_width) / 2 + (w + g) * double(col),
                             area.y + double(q) * (h + g), w, h});
    }
    return out;
}

TileLayout with_presenter(Rect area, size_t n) {
    TileLayout out;
    double W = area.width, H = area.height, y0 = area.y;
    double s = std::min(std::min(std::max(0.24 * H, 88.0), 190.0), 0.4 * H);
    double f = std::max(y0 + H - s - featured_gap, y0 + 1);
    out.featured = Rect::from_edges(area.x, y0, area.right(), f);
    double top = f + featured_gap;
    double t = area.bottom() - top;
    if (n == 0 || W <= 1 || t <= 1) return out;
    double v = std::min(std::max((W - strip_gap * double(n - 1)) / double(n), 1.0), 1.5 * t);
    double x = area.x + (W - (strip_gap * double(n - 1) + v * double(n))) / 2;
    for (size_t i = 0; i < n; ++i)
        out.tiles.push_back({x + double(i) * (v + strip_gap), top, v, t});
    return out;
}

}  // namespace

TileLayout layout_call_tiles(Rect area, size_t count, bool presenter) {
    return presenter ? with_presenter(area, count) : grid(area, count);
}

}  // namespace chat::render_call
