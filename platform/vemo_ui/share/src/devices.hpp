#pragma once

// The "devices" map at the document root: endpoint key (hex) -> what every member needs to
// reach that device. Each device writes only its own record.

#include <automerge/automerge.hpp>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace vemo_ui::share::detail {

inline constexpr char const* devices_key = "devices";

struct DeviceRecord {
    std::string ticket;  // the endpoint address as JSON
    std::string person;
    std::string name;
    std::int64_t last_seen = 0;
    bool operator==(DeviceRecord const&) const = default;
};

// Records with a string key; fields of the wrong kind read as empty.
std::map<std::string, DeviceRecord> read_devices(automerge::AutoCommit& doc);

// Writes the fields that differ from `record`; `last_seen` only when it moved by at least
// `seen_step` seconds, so that a device does not add a change on every start of a frame.
// True when something was written.
bool write_own_device(automerge::AutoCommit& doc, std::string const& key,
                      DeviceRecord const& record, std::int64_t seen_step);

}  // namespace vemo_ui::share::detail
