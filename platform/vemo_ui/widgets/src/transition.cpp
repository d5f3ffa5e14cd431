#include "vemo_ui/transition.hpp"

#include <algorithm>
#include <cmath>

namespace vemo_ui {

double ease(Easing easing, double t) {
    t = std::clamp(t, 0.0, 1.0);
    switch (easing) {
        case Easing::Linear:
            return t;
        case Easing::EaseOutCubic:
            return 1 - std::pow(1 - t, 3);
        case Easing::EaseInOutCubic:
            return t < 0.5 ? 4 * t * t * t : 1 - std::pow(-2 * t + 2, 3) / 2;
    }
    return t;
}

Transition::Transition(double value, double duration, Easing easing)
    : m_duration(std::max(0.0, duration)),
      m_easing(easing),
      m_from(value),
      m_to(value),
      m_value(value) {}

void Transition::set_target(double target, double now) {
    if (target == m_to) return;
    m_from = m_value;
    m_to = target;
    m_start = now;
    m_running = true;
    if (m_duration <= 0) jump_to(target);
}

void Transition::jump_to(double value) {
    m_from = m_to = m_value = value;
    m_running = false;
}

void Transition::tick(double now) {
    if (!m_running) return;
    double t = (now - m_start) / m_duration;
    if (t >= 1 - 1e-9) return jump_to(m_to);
    m_value = m_from + (m_to - m_from) * ease(m_easing, std::max(0.0, t));
}

Flap Flap::with_default(bool open) {
    Flap f;
    f.default_open = open;
    f.progress = open ? 1 : 0;
    return f;
}

bool Flap::target() const {
    if (override_state != FlapOverride::None) return override_state == FlapOverride::Open;
    return default_open && mode != FlapMode::Overlay;
}

double Flap::eased() const {
    return 1 - std::pow(1 - std::clamp(progress, 0.0, 1.0), 3);
}

bool Flap::is_animating() const {
    return progress != (target() ? 1.0 : 0.0);
}

void Flap::toggle() {
    set_override(!target());
}

void Flap::set_override(bool open) {
    override_state = open ? FlapOverride::Open : FlapOverride::Closed;
}

void Flap::on_mode(FlapMode new_mode) {
    if (new_mode == mode) return;
    FlapMode previous = mode;
    mode = new_mode;
    if (previous == FlapMode::Unknown) {
        progress = target() ? 1 : 0;
    } else {
        override_state = FlapOverride::None;
    }
}

void Flap::tick(double now) {
    double dt = last_tick ? std::clamp(now - *last_tick, 0.0, max_step) : 0.0;
    last_tick = now;
    double goal = target() ? 1 : 0;
    if (progress == goal) return;
    double f = std::exp(-rate * dt);
    progress += (1 - f) * (goal - progress);
    if (std::abs(progress - goal) < snap) progress = goal;
}

}  // namespace vemo_ui
