#include <gtest/gtest.h>

#include "vemo_ui/share/document_url.hpp"
#include "vemo_ui/share/invite.hpp"

using namespace vemo_ui::share;

TEST(DocumentUrl, KnownIdsRoundTrip) {
    // Ids as the automerge-repo reference makes them (checked against it under Node).
    struct Known {
        char const* url;
        char const* id_hex;
    } known[] = {{"automerge:2zK1Yx2ek1pAekY9WnBhoE1bzdW9", "8eb453e3c7c942669efa5666ee31a01b"},
                 {"automerge:2nJmLsMeUuY87VCL9BXwNx3cRFdS", "7fd92f8d95d24744b67e1b9a87ba1f2d"}};
    for (auto const& k : known) {
        auto url = DocumentUrl::parse(k.url);
        ASSERT_TRUE(url) << k.url << ": " << url.error();
        std::string hex;
        for (auto b : url->id) hex += "0123456789abcdef"[b >> 4], hex += "0123456789abcdef"[b & 15];
        EXPECT_EQ(hex, k.id_hex);
        EXPECT_EQ(url->to_string(), k.url);
    }
}

TEST(DocumentUrl, GeneratedIdsParseBack) {
    auto url = DocumentUrl::generate();
    auto back = DocumentUrl::parse(url.to_string());
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, url);
    EXPECT_EQ(DocumentUrl::parse(url.document_id()).value(), url);
}

TEST(DocumentUrl, RejectsDamagedText) {
    auto good = DocumentUrl::generate().to_string();
    auto flipped = good;
    flipped.back() = flipped.back() == 'a' ? 'b' : 'a';
    for (auto const& text : {flipped, std::string("automerge:"), std::string("automerge:0OIl"),
                             good + "#abc", std::string("automerge:") + std::string(200, 'z'),
                             std::string("automerge:3vQB7B6MrGQZaxCuFg4oh")}) {
        EXPECT_FALSE(DocumentUrl::parse(text)) << text;
    }
}

namespace {

Invite sample_invite() {
    auto addr = p2p::EndpointAddr::from_json(
        R"({"id":"d5a0ed4d4b3f8a0c5d2b4e9f6a7b8c9d0e1f2a3b4c5d6e7f8091a2b3c4d5e6f7","addrs":[{"Ip":"127.0.0.1:41000"}]})");
    return Invite{DocumentUrl::generate(), addr.value(), random_secret(), 1'900'000'000,
                  "ws://127.0.0.1:3030"};
}

}  // namespace

TEST(Invite, TextRoundTrips) {
    auto invite = sample_invite();
    auto parsed = Invite::parse("  " + invite.to_text() + "\n");
    ASSERT_TRUE(parsed) << parsed.error();
    EXPECT_EQ(parsed->document, invite.document);
    EXPECT_EQ(parsed->inviter, invite.inviter);
    EXPECT_EQ(parsed->secret, invite.secret);
    EXPECT_EQ(parsed->expires, invite.expires);
    EXPECT_EQ(parsed->sync_server, invite.sync_server);
}

TEST(Invite, MalformedTextsFailWithAReason) {
    auto json_invite = [](std::string const& json) {
        return "vemo-invite:" + base64url_encode(json);
    };
    std::string const peer =
        R"("peer":{"id":"d5a0ed4d4b3f8a0c5d2b4e9f6a7b8c9d0e1f2a3b4c5d6e7f8091a2b3c4d5e6f7","addrs":[]})";
    std::string const doc = "\"doc\":\"" + DocumentUrl::generate().to_string() + "\"";
    std::string const secret = "\"secret\":\"" + std::string(64, 'a') + "\"";
    struct Case {
        std::string text;
        std::string reason;
    } cases[] = {
        {"hello", "not an invite"},
        {"vemo-invite:%%%", "not base64url"},
        {json_invite("[1,2]"), "not JSON"},
        {json_invite(R"({"v":2})"), "unknown version"},
        {json_invite(R"({"v":1,)" + peer + "," + secret + R"(,"expires":1})"), "names no document"},
        {json_invite(R"({"v":1,"doc":"automerge:xyz",)" + peer + "," + secret + R"(,"expires":1})"),
         "document"},
        {json_invite(R"({"v":1,)" + doc + "," + secret + R"(,"expires":1})"), "names no device"},
        {json_invite(R"({"v":1,)" + doc + "," + peer + R"(,"secret":"abc","expires":1})"),
         "secret"},
        {json_invite(R"({"v":1,)" + doc + "," + peer + "," + secret + "}"), "expiry"},
        {json_invite(R"({"v":1,)" + doc + "," + peer + "," + secret +
                     R"(,"expires":1,"server":""})"),
         "sync server"},
        {"vemo-invite:" + std::string(10000, 'A'), "too long"},
    };
    for (auto const& c : cases) {
        auto parsed = Invite::parse(c.text);
        ASSERT_FALSE(parsed) << c.text;
        EXPECT_NE(parsed.error().find(c.reason), std::string::npos) << parsed.error();
    }
}
