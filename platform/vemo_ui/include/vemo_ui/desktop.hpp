#pragma once

#include <functional>
#include <optional>
#include <string>

#include "vemo_ui/theme.hpp"

// The running window's place on the desktop: notifications, the window title's unread count,
// asking for attention. Every call is for the UI thread, and every call is a no-op when no
// window runs (screenshots, automation, tests), so the application calls them unconditionally.
namespace vemo_ui::desktop {

struct Notification {
    std::string id;  // a later notification with the same id replaces this one
    std::string title;
    std::string body;
    std::string target;  // handed back by take_activated_target() when the person clicks it
};

// Shows a desktop notification. False when there is no desktop session to show it.
bool notify(Notification const& notification);
void withdraw(std::string const& id);

// Shows the count in the window title ("(3) Chat"); 0 shows the plain title.
void set_unread_count(int count);
// Marks the window as wanting attention until the person focuses it.
void request_attention();
// True when the window has the keyboard focus of the desktop.
bool window_active();

// The person's own choice of a light or dark window; none follows the desktop's preference.
void set_theme_preference(std::optional<ThemeKind> kind);

// The target of a notification the person clicked since the last call, if any.
std::optional<std::string> take_activated_target();

// Opens a web or mail address with the program the desktop chooses for it. The caller checks
// the address first (only http, https and mailto are meant to reach this). False when no
// window runs or the desktop could not open it.
bool open_uri(std::string const& uri);
// Hands addresses to `opener` instead of the desktop (embedding, tests); empty restores it.
void set_uri_opener(std::function<bool(std::string const&)> opener);

// The pointer's shape over the window: the hand over links.
enum class Cursor { Default, Pointer };
void set_cursor(Cursor cursor);

}  // namespace vemo_ui::desktop
