#pragma once

#include <optional>

namespace vemo_ui {

enum class Easing { Linear, EaseOutCubic, EaseInOutCubic };

double ease(Easing easing, double t);

// A value that moves to its target over a fixed duration. Times are monotonic seconds.
class Transition {
  public:
    explicit Transition(double value = 0, double duration = 0.2,
                        Easing easing = Easing::EaseOutCubic);

    // Starts moving from the current value; the same target again changes nothing.
    void set_target(double target, double now);
    void jump_to(double value);
    void tick(double now);

    double value() const { return m_value; }
    double target() const { return m_to; }
    bool is_running() const { return m_running; }

  private:
    double m_duration;
    Easing m_easing;
    double m_from;
    double m_to;
    double m_value;
    double m_start = 0;
    bool m_running = false;
};

enum class FlapMode { Unknown, Wide, Overlay };
enum class FlapOverride { None, Closed, Open };

// A side panel that slides in and out. Left alone it follows its default, and is closed
// while its layout overlays the content; an override (the user's toggle) wins until the
// layout mode changes.
struct Flap {
    static constexpr double max_step = 0.1;  // seconds; a stalled frame must not jump
    static constexpr double rate = 14;
    static constexpr double snap = 0.001;

    std::optional<double> last_tick;
    double progress = 0;  // 0 closed .. 1 open
    bool default_open = false;
    FlapOverride override_state = FlapOverride::None;
    FlapMode mode = FlapMode::Unknown;

    static Flap with_default(bool open);

    bool target() const;
    double eased() const;
    bool is_animating() const;
    // Sets the override to the opposite of the current target.
    void toggle();
    void set_override(bool open);
    void on_mode(FlapMode new_mode);
    void tick(double now);
};

}  // namespace vemo_ui
