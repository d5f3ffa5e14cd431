#include <algorithm>

#include "vemo_ui/painter.hpp"

namespace vemo_ui {

namespace {

// Control-point distance for a quarter circle drawn as one cubic (4/3 · (√2 − 1)).
constexpr double kappa = 0.5522847498307936;

}  // namespace

Path& Path::move_to(Point p) {
    m_verbs.push_back(Verb::Move);
    m_points.push_back(p);
    return *this;
}

Path& Path::line_to(Point p) {
    // A line needs a start; an outline that begins with one starts where it points.
    if (m_verbs.empty()) return move_to(p);
    m_verbs.push_back(Verb::Line);
    m_points.push_back(p);
    return *this;
}

Path& Path::cubic_to(Point c1, Point c2, Point end) {
    if (m_verbs.empty()) move_to(c1);
    m_verbs.push_back(Verb::Cubic);
    m_points.insert(m_points.end(), {c1, c2, end});
    return *this;
}

Path& Path::close() {
    if (!m_verbs.empty() && m_verbs.back() != Verb::Close) m_verbs.push_back(Verb::Close);
    return *this;
}

Path& Path::rounded_rect(Rect r, double radius) {
    if (r.is_empty()) return *this;
    double rad = std::clamp(radius, 0.0, std::min(r.width, r.height) / 2);
    double k = rad * kappa;
    double x0 = r.left(), y0 = r.top(), x1 = r.right(), y1 = r.bottom();
    move_to({x0 + rad, y0});
    line_to({x1 - rad, y0});
    if (rad > 0) cubic_to({x1 - rad + k, y0}, {x1, y0 + rad - k}, {x1, y0 + rad});
    line_to({x1, y1 - rad});
    if (rad > 0) cubic_to({x1, y1 - rad + k}, {x1 - rad + k, y1}, {x1 - rad, y1});
    line_to({x0 + rad, y1});
    if (rad > 0) cubic_to({x0 + rad - k, y1}, {x0, y1 - rad + k}, {x0, y1 - rad});
    line_to({x0, y0 + rad});
    if (rad > 0) cubic_to({x0, y0 + rad - k}, {x0 + rad - k, y0}, {x0 + rad, y0});
    return close();
}

Path& Path::ellipse(Rect r) {
    if (r.is_empty()) return *this;
    double rx = r.width / 2, ry = r.height / 2;
    double kx = rx * kappa, ky = ry * kappa;
    Point c = r.center();
    move_to({c.x + rx, c.y});
    cubic_to({c.x + rx, c.y + ky}, {c.x + kx, c.y + ry}, {c.x, c.y + ry});
    cubic_to({c.x - kx, c.y + ry}, {c.x - rx, c.y + ky}, {c.x - rx, c.y});
    cubic_to({c.x - rx, c.y - ky}, {c.x - kx, c.y - ry}, {c.x, c.y - ry});
    cubic_to({c.x + kx, c.y - ry}, {c.x + rx, c.y - ky}, {c.x + rx, c.y});
    return close();
}

}  // namespace vemo_ui
