#pragma once

#include <deque>

#include "media/call_transport.hpp"

namespace chat::media {

// Loops every valid frame back to its sender; used without a graphical session or when
// the network side cannot start.
class SimulatedTransport final : public CallTransport {
  public:
    bool is_networked() const override { return false; }
    std::string local_ticket() const override { return simulated_ticket; }
    bool connect(std::string const&) override { return true; }
    void enable_kind(MediaKind kind) override { m_book.enable_kind(kind); }
    void disable_kind(MediaKind kind) override { m_book.disable_kind(kind); }
    void expect_peer(std::string user, bool flag) override {
        m_book.expect_peer(std::move(user), flag);
    }
    bool send_frame(MediaFrame frame) override;
    std::vector<MediaFrame> drain_frames() override;
    CallBookkeeping const& bookkeeping() const override { return m_book; }

  private:
    CallBookkeeping m_book;
    std::deque<MediaFrame> m_loopback;
};

}  // namespace chat::media
