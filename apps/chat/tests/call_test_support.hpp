#pragma once

#include <gtest/gtest.h>

#include <automerge/automerge.hpp>
#include <automerge/sync.hpp>
#include <chrono>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "actions/dispatch.hpp"
#include "doc/schema.hpp"
#include "media/call_session.hpp"
#include "media/call_transport.hpp"
#include "media/network_transport.hpp"
#include "p2p/endpoint_addr.hpp"
#include "p2p/key.hpp"

namespace chat::test {

// A ticket that parses, with the endpoint key it names.
struct Identity {
    std::string ticket;
    std::string key;
    static Identity make() {
        p2p::EndpointAddr addr{p2p::SecretKey::generate().public_key(), {}};
        return {addr.to_json(), addr.id.to_text()};
    }
};

// A transport whose incoming frames the test decides; what is sent is kept for inspection.
class ScriptedTransport final : public media::CallTransport {
  public:
    explicit ScriptedTransport(std::string ticket) : m_ticket(std::move(ticket)) {}
    bool is_networked() const override { return false; }
    std::string local_ticket() const override { return m_ticket; }
    bool connect(std::string const& ticket) override {
        connects.push_back(ticket);
        return true;
    }
    void enable_kind(media::MediaKind kind) override { m_book.enable_kind(kind); }
    void disable_kind(media::MediaKind kind) override { m_book.disable_kind(kind); }
    void expect_peer(std::string user, bool flag) override {
        m_book.expect_peer(std::move(user), flag);
    }
    bool send_frame(media::MediaFrame frame) override {
        sent.push_back(std::move(frame));
        return true;
    }
    std::vector<media::MediaFrame> drain_frames() override {
        std::vector<media::MediaFrame> out(incoming.begin(), incoming.end());
        incoming.clear();
        return out;
    }
    media::CallBookkeeping const& bookkeeping() const override { return m_book; }

    std::deque<media::MediaFrame> incoming;
    std::vector<media::MediaFrame> sent;
    std::vector<std::string> connects;

  private:
    std::string m_ticket;
    media::CallBookkeeping m_book;
};

// One device: its document, its call, and every action its call issued, in order.
struct Device {
    // No camera or screen unless the test hands in sources.
    explicit Device(std::string self, std::unique_ptr<media::CallTransport> transport,
                    automerge::AutoCommit document = {}, video::VideoSources sources = {})
        : doc(std::move(document)),
          self(std::move(self)),
          call(
              std::move(transport),
              [this](ChatAction const& a) {
                  issued.push_back(a);
                  return dispatch_action(actions, doc, a);
              },
              std::move(sources)) {}

    // Without a time the monotonic clock's, so that retry pacing works as in the app.
    call::CallEnv env(std::optional<double> now = {}, std::int64_t wall = 1'700'000'000) {
        using namespace std::chrono;
        double seconds =
            now ? *now : duration<double>(steady_clock::now().time_since_epoch()).count();
        return call::CallEnv{&doc, self, permitted, seconds, wall};
    }

    automerge::AutoCommit doc;
    std::string self;
    bool permitted = true;
    ActionState actions;
    std::vector<ChatAction> issued;
    call::CallSession call;
};

// RGBA frames of one size whose content moves from frame to frame; `shade` sets the overall
// brightness, so that two senders' pictures can be told apart.
struct PatternSource final : video::FrameSource {
    PatternSource(int w, int h, int shade, bool* dead) : w(w), h(h), shade(shade), dead(dead) {}
    std::optional<std::vector<std::uint8_t>> pull_video_frame() override {
        std::vector<std::uint8_t> f(std::size_t(w) * h * 4);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                auto* p = &f[(std::size_t(y) * w + x) * 4];
                int stripe = ((x + frame * 8) / 40) % 2;
                p[0] = p[1] = p[2] = std::uint8_t(stripe ? shade : shade / 3);
                p[3] = 255;
            }
        ++frame;
        return f;
    }
    bool failed() override { return dead && *dead; }
    int w, h, shade, frame = 0;
    bool* dead;
};

// A screen-capture request that answers after `waits` polls.
struct ScriptedRequest final : vemo_ui::capture::ScreenCaptureRequest {
    int waits = 0;
    std::optional<Answer> answer;
    std::optional<Answer> poll() override {
        if (waits-- > 0) return std::nullopt;
        return std::exchange(answer, std::nullopt);
    }
};

inline void add_voice_channel(automerge::AutoCommit& doc, std::string const& id) {
    doc::write_workspace(doc, "ws_t", "Team", "T", 0, 0);
    doc::write_category(doc, "cat_t", "ws_t", "Calls", 0, false);
    doc::write_channel(doc, id, "ws_t", "cat_t", "Voice", "", ChannelKind::Voice, 0);
    doc.commit();
}

inline std::unique_ptr<media::NetworkTransport> start_loopback() {
    p2p::EndpointOptions options;
    options.loopback_only = true;
    auto transport = media::NetworkTransport::start(std::move(options));
    EXPECT_TRUE(transport) << transport.error().message;
    return transport ? std::move(*transport) : nullptr;
}

// Runs the sync protocol between the two documents until neither has anything to say, as
// workspace sharing does between two devices.
inline void sync_documents(automerge::AutoCommit& a, automerge::AutoCommit& b) {
    automerge::SyncState a_state, b_state;
    a.commit();
    b.commit();
    for (int round = 0; round < 16; ++round) {
        bool quiet = true;
        if (auto m = automerge::generate_sync_message(a, a_state)) {
            ASSERT_TRUE(automerge::receive_sync_message(b, b_state, *m));
            quiet = false;
        }
        if (auto m = automerge::generate_sync_message(b, b_state)) {
            ASSERT_TRUE(automerge::receive_sync_message(a, a_state, *m));
            quiet = false;
        }
        if (quiet) return;
    }
}

// Polls `step` every 10 ms until it answers true or `deadline` passes.
template <typename Step>
bool eventually(Step step, std::chrono::milliseconds deadline = std::chrono::seconds(10)) {
    auto end = std::chrono::steady_clock::now() + deadline;
    while (std::chrono::steady_clock::now() < end) {
        if (step()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

}  // namespace chat::test
