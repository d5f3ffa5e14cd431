#pragma once

#include <string>
#include <string_view>

namespace chat {

// A notification body as the desktop's notification server will show it. Servers that read
// markup in bodies (those advertising "body-markup") would take a peer's "<b>" as bold and a
// lone "&" as broken markup, so for them the text is escaped; to the others it goes as typed.
std::string notification_body(std::string_view text, bool server_reads_markup);

// Whether the body of a notification sent through GLib reaches a server that reads markup:
// only the freedesktop backend hands the body on to such a server (the portal and GTK ones
// take plain text). Asked once over the session bus; false when it cannot be told.
bool notification_server_reads_markup();

}  // namespace chat
