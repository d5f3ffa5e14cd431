#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

#include "model/view_model.hpp"

namespace chat {

// What the window shows the person right now.
struct ShownConversation {
    std::string channel;
    std::optional<std::string> thread;
    bool window_active = false;
};

// A message the person should hear about.
struct Alert {
    std::string message;   // its id: clicking the notification opens it
    std::string title;     // author and channel
    std::string body;      // the text, shortened
    bool mention = false;  // names the person (not only a reply in their thread)
};

// Decides which arriving messages deserve a desktop notification: those that mention the local
// person or reply in a thread they wrote in, from someone else, in a channel they did not
// mute, while the window is not focused or shows another conversation. What the document held
// when the window opened, and anything written before that (history merged when a device first
// syncs), never notifies.
class Attention {
  public:
    std::vector<Alert> update(model::ViewModel const& view, std::string const& me,
                              ShownConversation const& shown, std::set<std::string> const& muted,
                              int64_t now);

  private:
    bool m_started = false;
    int64_t m_start_time = 0;
    std::unordered_set<std::string> m_seen;
};

// The unread count of every channel of every workspace, for the window title.
int total_unread(model::ViewModel const& view);

}  // namespace chat
