// A device faced with peers that misbehave: it refuses them or drops them, keeps its
// document as it was, and keeps answering.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <automerge/automerge.hpp>
#include <filesystem>
#include <thread>

#include "sync_link.hpp"
#include "vemo_ui/persist.hpp"
#include "vemo_ui/share/invite.hpp"
#include "vemo_ui/share/sharing.hpp"

namespace fs = std::filesystem;
using namespace vemo_ui::share;
using namespace std::chrono_literals;

namespace {

class HostilePeer : public testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/share-hostile-XXXXXX";
        dir = mkdtemp(tmpl);
        auto opened = vemo_ui::persist::open_migrating("share.test", {}, dir / "doc.automerge");
        ASSERT_TRUE(opened) << opened.error();
        store = std::move(*opened);
        ASSERT_TRUE(store->document().put(automerge::ObjId::root(), "kept", std::int64_t{1}));
        store->commit_frame();
        auto started = Sharing::start(*store, Options{"u_host", "host", {}, {}, true, true});
        ASSERT_TRUE(started) << started.error();
        sharing = std::move(*started);
        sharing->poll();
        store->commit_frame();
        heads = store->document().get_heads();
    }
    void TearDown() override {
        sharing.reset();
        store.reset();
        std::error_code ec;
        fs::remove_all(dir, ec);
    }

    Invite invite() {
        auto text = sharing->create_invite();
        EXPECT_TRUE(text);
        return Invite::parse(*text).value();
    }

    // Polls the way frames do while `done` is false, for at most ten seconds.
    template <class F>
    bool pump_until(F done) {
        for (auto until = std::chrono::steady_clock::now() + 10s;
             std::chrono::steady_clock::now() < until;) {
            sharing->poll();
            if (done()) return true;
            std::this_thread::sleep_for(5ms);
        }
        return false;
    }

    struct Attacker {
        p2p::Endpoint endpoint;
        std::optional<p2p::Connection> connection;
        std::optional<p2p::SendStream> send;
    };

    // Dials and sends a greeting; nothing when the handshake itself is refused.
    std::optional<Attacker> dial(Invite const& inv, std::optional<std::string> secret) {
        p2p::EndpointOptions options;
        options.loopback_only = true;
        auto endpoint = p2p::Endpoint::bind(options).value();
        auto connecting = endpoint.connect(inv.inviter, detail::sync_alpn);
        std::optional<p2p::Result<p2p::Connection>> connection;
        pump_until([&] { return (connection = connecting.poll()).has_value(); });
        if (!connection || !*connection) return std::nullopt;
        Attacker a{endpoint, std::move(**connection), std::nullopt};
        a.send.emplace(a.connection->open_uni().wait_for(5s).value().value());
        auto greeting = detail::encode_greeting({inv.document.document_id(), std::move(secret)});
        a.send->write_all(detail::length_prefixed(greeting)).wait_for(5s);
        return a;
    }

    bool answered(Attacker& a) {
        auto recv = a.connection->accept_uni();
        std::optional<p2p::Result<p2p::RecvStream>> stream;
        pump_until([&] { return (stream = recv.poll()).has_value(); });
        return stream && *stream;
    }

    bool closed(Attacker& a) {
        auto done = a.connection->closed();
        return pump_until([&] { return done.is_ready(); });
    }

    fs::path dir;
    std::unique_ptr<vemo_ui::persist::DocumentStore> store;
    std::unique_ptr<Sharing> sharing;
    std::vector<automerge::ChangeHash> heads;
};

}  // namespace

TEST_F(HostilePeer, WrongSecretIsRefused) {
    auto inv = invite();
    auto a = dial(inv, secret_to_hex(random_secret()));
    ASSERT_TRUE(a);
    EXPECT_TRUE(closed(*a));
    EXPECT_EQ(store->document().get_heads(), heads);
}

TEST_F(HostilePeer, SecretWorksOnceAndUnknownKeysAreThenRefusedAtTheHandshake) {
    auto inv = invite();
    auto first = dial(inv, secret_to_hex(inv.secret));
    ASSERT_TRUE(first);
    EXPECT_TRUE(answered(*first));
    // The only invite is spent: a stranger does not even finish the handshake.
    auto second = dial(inv, secret_to_hex(inv.secret));
    EXPECT_TRUE(!second || closed(*second));
}

struct BadTraffic {
    char const* name;
    std::vector<std::uint8_t> bytes;
};

class HostileTraffic : public HostilePeer, public testing::WithParamInterface<BadTraffic> {};

TEST_P(HostileTraffic, DropsThePeerAndKeepsTheDocument) {
    auto inv = invite();
    auto a = dial(inv, secret_to_hex(inv.secret));
    ASSERT_TRUE(a);
    ASSERT_TRUE(answered(*a));
    a->send->write_all(GetParam().bytes).wait_for(5s);
    EXPECT_TRUE(closed(*a));
    EXPECT_EQ(store->document().get_heads(), heads);
    // Still working: a new invite can be made and used.
    auto next = invite();
    auto b = dial(next, secret_to_hex(next.secret));
    ASSERT_TRUE(b);
    EXPECT_TRUE(answered(*b));
}

INSTANTIATE_TEST_SUITE_P(
    Messages, HostileTraffic,
    testing::Values(
        BadTraffic{"garbage", detail::length_prefixed(std::vector<std::uint8_t>(300, 0xab))},
        BadTraffic{"not_a_sync_message",
                   detail::length_prefixed(std::vector<std::uint8_t>{0x42, 0x01, 0xff, 0xff})},
        BadTraffic{"over_the_cap", {0xff, 0xff, 0xff, 0xff, 1, 2, 3}},
        BadTraffic{"empty_message", {0, 0, 0, 0}}),
    [](auto const& info) { return std::string(info.param.name); });

// A peer that stops half-way through a message holds nothing up: the device goes on polling
// and the endpoint closes the connection once the read has waited too long.
TEST_F(HostilePeer, StallingPeerBlocksNothing) {
    auto inv = invite();
    auto a = dial(inv, secret_to_hex(inv.secret));
    ASSERT_TRUE(a);
    ASSERT_TRUE(answered(*a));
    std::vector<std::uint8_t> half{0, 0, 0x10, 0};  // announces 4096 bytes
    half.resize(100, 0x43);
    a->send->write_all(half).wait_for(5s);
    auto done = a->connection->closed();
    for (auto until = std::chrono::steady_clock::now() + 20s;
         !done.is_ready() && std::chrono::steady_clock::now() < until;) {
        sharing->poll();
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(done.is_ready());
    EXPECT_EQ(store->document().get_heads(), heads);
}
