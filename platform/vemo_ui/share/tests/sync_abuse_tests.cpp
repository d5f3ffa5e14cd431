// A device's document sync endpoint on loopback against many hostile handshakes: strangers
// holding connection slots while an invite is open, and a flood of half-open Initials from
// many source ports. Through both, a member device keeps syncing and a newcomer can join.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <automerge/automerge.hpp>
#include <filesystem>
#include <thread>

#include "support.hpp"
#include "sync_link.hpp"
#include "vemo_ui/persist.hpp"
#include "vemo_ui/share/invite.hpp"
#include "vemo_ui/share/sharing.hpp"

namespace fs = std::filesystem;
using namespace vemo_ui::share;
using namespace std::chrono_literals;
using namespace p2p::test_support;

namespace {

struct Device {
    std::unique_ptr<vemo_ui::persist::DocumentStore> store;
    std::unique_ptr<Sharing> sharing;

    void frame() {
        sharing->poll();
        store->commit_frame();
    }
};

class SyncAbuse : public testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/share-abuse-XXXXXX";
        dir = mkdtemp(tmpl);
        host = open("host");
        member = open("member");
        auto text = host.sharing->create_invite();
        ASSERT_TRUE(text);
        ASSERT_TRUE(member.sharing->begin_join(*text));
        ASSERT_TRUE(pump_until({&host, &member},
                               [&] { return member.sharing->join_state() == JoinState::Done; }));
        host_addr = Invite::parse(*text).value().inviter;
        for (auto const& a : host_addr->addrs)
            if (a.family == p2p::SocketAddr::Family::V4) port = a.port;
        ASSERT_NE(port, 0);
        ASSERT_TRUE(member_sees_the_next_write()) << "before any abuse";
    }
    void TearDown() override {
        for (auto* d : {&newcomer, &member, &host}) {
            d->sharing.reset();
            d->store.reset();
        }
        std::error_code ec;
        fs::remove_all(dir, ec);
    }

    Device open(std::string const& name) {
        Device d;
        d.store = std::move(
            vemo_ui::persist::open_migrating("share.test", {}, dir / name / "doc.automerge")
                .value());
        Options options;
        options.person_id = "u_" + name;
        options.device_name = name;
        options.loopback_only = true;
        d.sharing = std::move(Sharing::start(*d.store, options).value());
        return d;
    }

    template <class F>
    static bool pump_until(std::vector<Device*> devices, F done, std::chrono::seconds limit = 20s) {
        for (auto until = std::chrono::steady_clock::now() + limit;
             std::chrono::steady_clock::now() < until;) {
            for (auto* d : devices) d->frame();
            if (done()) return true;
            std::this_thread::sleep_for(5ms);
        }
        return false;
    }

    // The host writes a new value; true once the member has it.
    bool member_sees_the_next_write() {
        auto key = "write" + std::to_string(++writes);
        EXPECT_TRUE(host.store->document().put(automerge::ObjId::root(), key, writes));
        host.store->commit_frame();
        return pump_until({&host, &member}, [&] {
            auto got = member.store->document().get(automerge::ObjId::root(), key);
            return got && *got;
        });
    }

    // A new device joins with `invite` while host and member go on.
    bool newcomer_joins(std::string const& invite) {
        newcomer = open("newcomer");
        if (!newcomer.sharing->begin_join(invite)) return false;
        bool done = pump_until({&host, &member, &newcomer},
                               [&] { return newcomer.sharing->join_state() == JoinState::Done; });
        if (!done) ADD_FAILURE() << newcomer.sharing->join_problem();
        return done;
    }

    fs::path dir;
    Device host, member, newcomer;
    std::optional<p2p::EndpointAddr> host_addr;
    std::uint16_t port = 0;
    std::int64_t writes = 0;
    std::shared_ptr<p2p::Runtime> runtime = *p2p::Runtime::create();
};

}  // namespace

// While an invite is open anyone may finish a handshake (the greeting then has to carry the
// secret), so strangers can try to take every slot by connecting and saying nothing.
TEST_F(SyncAbuse, StrangersHoldingConnectionsLeaveMembersAndNewcomersServed) {
    auto open_invite = host.sharing->create_invite();
    ASSERT_TRUE(open_invite);
    std::vector<p2p::Endpoint> strangers;
    std::vector<p2p::Future<p2p::Connection>> dials;
    for (int i = 0; i < 150; ++i) {
        strangers.push_back(*p2p::Endpoint::bind(runtime, loopback()));
        dials.push_back(strangers.back().connect(*host_addr, detail::sync_alpn));
    }
    std::vector<p2p::Connection> held;
    for (auto& dial : dials)
        if (auto connection = wait(std::move(dial), 10s)) held.push_back(std::move(*connection));
    std::cout << held.size() << " of " << dials.size() << " strangers got a connection\n";
    EXPECT_TRUE(member_sees_the_next_write()) << "while strangers hold connections";

    EXPECT_TRUE(newcomer_joins(*open_invite));
    EXPECT_TRUE(member_sees_the_next_write()) << "after the newcomer joined";
}

// Genuine first Initials whose senders never answer, from many source ports at once.
TEST_F(SyncAbuse, HalfOpenInitialFloodLeavesMembersServed) {
    auto attacker = *p2p::Endpoint::bind(runtime, loopback(300ms));
    auto initials = capture_initials(attacker, host_addr->id, detail::sync_alpn, 300);
    ASSERT_EQ(initials.size(), 300u);
    std::vector<std::unique_ptr<RawUdp>> sockets;
    for (int i = 0; i < 60; ++i) sockets.push_back(std::make_unique<RawUdp>());
    for (std::size_t i = 0; i < initials.size(); ++i)
        sockets[i % sockets.size()]->send_to(port, initials[i]);
    EXPECT_TRUE(member_sees_the_next_write()) << "during the flood";

    auto text = host.sharing->create_invite();
    ASSERT_TRUE(text);
    for (std::size_t i = 0; i < initials.size(); ++i)
        sockets[(i + 7) % sockets.size()]->send_to(port, initials[i]);
    EXPECT_TRUE(newcomer_joins(*text));
    EXPECT_TRUE(member_sees_the_next_write()) << "after the flood";
}
