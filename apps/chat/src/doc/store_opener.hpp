#pragma once

#include <string_view>

#include "vemo_ui/persist.hpp"

namespace chat {

// Opens the chat document: "workspace.automerge" in the chat's data directory, taken over
// from earlier versions as it stands, or the framework's own place when the chat has no data
// directory. Both arguments are passed on as the framework gave them.
vemo_ui::persist::OpenResult open_document_store(std::string_view app_id,
                                                 vemo_ui::persist::StoreOptions const& options);

}  // namespace chat
