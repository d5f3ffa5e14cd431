#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vemo_ui::persist {
class DocumentStore;
}

namespace vemo_ui::share {

// How the application wants its document shared.
struct Options {
    // Who this device writes as in the "devices" map.
    std::string person_id;
    std::string device_name;
    // An invite to adopt at start (the program's --join).
    std::optional<std::string> join;
    // A sync server to use from now on; remembered in the data directory.
    std::optional<std::string> sync_server;
    // Bind and dial loopback addresses only (tests).
    bool loopback_only = false;
    // Connect to other devices directly; off leaves only the sync server.
    bool direct = true;
};

struct DeviceStatus {
    std::string key;  // endpoint key, hex
    std::string person;
    std::string name;
    std::int64_t last_seen = 0;
    bool connected = false;
    std::optional<std::int64_t> last_sync;  // Unix seconds of the last message exchanged
    std::uint64_t bytes_sent = 0;
    std::uint64_t bytes_received = 0;
};

struct Status {
    std::string document_url;
    std::string device_key;
    std::vector<DeviceStatus> devices;  // every device of the document but this one
    std::optional<std::string> server_url;
    std::string server_state;  // "off", "connecting", "connected", or the last error
    bool joining = false;
    std::optional<std::string> join_error;

    std::size_t connected_devices() const;
    // The identity bar's word: "Offline", "Connecting…", "Synced with N devices", plus the server.
    std::string summary() const;
};

enum class JoinState : std::uint8_t { None, Waiting, Done, Failed };

// Shares the store's document with the other devices of the workspace: directly over QUIC
// with the devices listed in the document, and through a sync server when one is set.
// Every member is for the UI thread; network work runs on threads of its own and never
// touches the document.
class Sharing {
  public:
    struct Impl;
    static std::expected<std::unique_ptr<Sharing>, std::string> start(persist::DocumentStore& store,
                                                                      Options options);
    ~Sharing();

    // Applies what peers sent, offers local changes, keeps connections up. Cheap when nothing
    // happened. True when the document changed, so the caller redraws.
    bool poll();

    // A new single-use invite for a newcomer, valid for 24 hours.
    std::expected<std::string, std::string> create_invite();
    // Sets the current document aside and adopts the one the invite names; join_state()
    // follows the arrival. The application must not write the document until it is Done.
    std::expected<void, std::string> begin_join(std::string_view invite);
    JoinState join_state() const;
    // The reason a join failed, or why it is still waiting.
    std::string join_problem() const;
    // Gives up on the join's wait (after its time ran out); the empty document stays.
    void abandon_join(std::string reason);

    Status status() const;
    std::string const& document_url() const;

  private:
    explicit Sharing(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> m_impl;
};

}  // namespace vemo_ui::share
