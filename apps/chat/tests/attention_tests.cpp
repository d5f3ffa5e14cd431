// Which arriving messages notify, and the person's settings file.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "app/attention.hpp"
#include "app/notification_body.hpp"
#include "app/user_settings.hpp"

namespace {

using chat::Alert;
using chat::Attention;
using chat::Message;
using chat::ShownConversation;

constexpr int64_t start = 1'800'000'000;

Message message(std::string id, std::string channel, std::string author, std::string text,
                int64_t ts = start + 10, std::optional<std::string> parent = std::nullopt,
                std::vector<std::string> mentioned = {}) {
    Message m;
    m.id = std::move(id);
    m.channel = std::move(channel);
    m.author = std::move(author);
    m.text = std::move(text);
    m.ts = ts;
    m.parent = std::move(parent);
    for (auto& user : mentioned) m.mentions.push_back(chat::Mention{user, 0, 4, false});
    return m;
}

chat::model::ViewModel base_view() {
    chat::model::ViewModel view;
    for (auto id : {"c_general", "c_random"}) {
        chat::Channel c;
        c.id = id;
        c.workspace = "ws_a";
        c.name = std::string(id).substr(2);
        view.channels.push_back(c);
    }
    view.directory.push_back(chat::Person{.id = "u_bob", .name = "Bob", .initials = "B"});
    view.directory.push_back(chat::Person{.id = "u_me", .name = "Me", .initials = "M"});
    // History: a thread I started, a thread I replied in, a thread of others.
    view.all_messages = {
        message("m_mine", "c_general", "u_me", "my question", start - 500),
        message("m_theirs", "c_general", "u_bob", "their topic", start - 400),
        message("m_myreply", "c_general", "u_me", "me too", start - 300, "m_theirs"),
        message("m_other", "c_random", "u_bob", "unrelated", start - 200)};
    return view;
}

struct Case {
    char const* name;
    Message arriving;
    ShownConversation shown;
    bool alert;
    bool mention = false;
};

ShownConversation away{"c_general", std::nullopt, false};
ShownConversation looking_at_general{"c_general", std::nullopt, true};
ShownConversation looking_at_random{"c_random", std::nullopt, true};

class Arrivals : public testing::TestWithParam<Case> {};

TEST_P(Arrivals, NotifyOnlyWhatConcernsThePersonAndIsNotInView) {
    auto const& c = GetParam();
    Attention attention;
    auto view = base_view();
    ASSERT_TRUE(attention.update(view, "u_me", away, {}, start).empty()) << "history notified";
    view.all_messages.push_back(c.arriving);
    auto alerts = attention.update(view, "u_me", c.shown, {"c_muted"}, start + 20);
    ASSERT_EQ(alerts.size(), c.alert ? 1u : 0u) << c.name;
    if (!c.alert) return;
    EXPECT_EQ(alerts[0].message, c.arriving.id);
    EXPECT_EQ(alerts[0].title, "Bob in #" + c.arriving.channel.substr(2));
    EXPECT_EQ(alerts[0].body, c.arriving.text);
    EXPECT_EQ(alerts[0].mention, c.mention);
    // Seen once, notified once.
    EXPECT_TRUE(attention.update(view, "u_me", c.shown, {}, start + 30).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Arrivals,
    testing::Values(
        Case{"mention while away",
             message("m1", "c_general", "u_bob", "@Me look", start + 10, {}, {"u_me"}), away, true,
             true},
        Case{"mention in another channel",
             message("m1", "c_general", "u_bob", "@Me", start + 10, {}, {"u_me"}),
             looking_at_random, true, true},
        Case{"mention in view",
             message("m1", "c_general", "u_bob", "@Me", start + 10, {}, {"u_me"}),
             looking_at_general, false},
        Case{"mention of someone else",
             message("m1", "c_general", "u_bob", "@Ann", start + 10, {}, {"u_ann"}), away, false},
        Case{"plain message", message("m1", "c_general", "u_bob", "hello"), away, false},
        Case{"own message",
             message("m1", "c_general", "u_me", "@Me note", start + 10, {}, {"u_me"}), away, false},
        Case{"muted channel", message("m1", "c_muted", "u_bob", "@Me", start + 10, {}, {"u_me"}),
             away, false},
        Case{"history merged later",
             message("m1", "c_general", "u_bob", "@Me", start - 3600, {}, {"u_me"}), away, false},
        Case{"slightly slow clock",
             message("m1", "c_general", "u_bob", "@Me", start - 60, {}, {"u_me"}), away, true,
             true},
        Case{"reply in my thread",
             message("m1", "c_general", "u_bob", "answer", start + 10, "m_mine"), away, true},
        Case{"reply where I replied",
             message("m1", "c_general", "u_bob", "more", start + 10, "m_theirs"), away, true},
        Case{"reply in my thread, channel shown",
             message("m1", "c_general", "u_bob", "answer", start + 10, "m_mine"),
             looking_at_general, true},
        Case{"reply in my open thread",
             message("m1", "c_general", "u_bob", "answer", start + 10, "m_mine"),
             ShownConversation{"c_general", "m_mine", true}, false},
        Case{"reply in a thread of others",
             message("m1", "c_random", "u_bob", "hm", start + 10, "m_other"), away, false}));

TEST(Attention, TheBodyIsTheTextOnScreenNotItsMarkdown) {
    Attention attention;
    auto view = base_view();
    (void)attention.update(view, "u_me", away, {}, start);
    view.all_messages.push_back(message("m1", "c_general", "u_bob",
                                        "@Me **look** at `main.cpp` and [this](https://a.example)",
                                        start + 1, {}, {"u_me"}));
    auto alerts = attention.update(view, "u_me", away, {}, start + 2);
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts[0].body, "@Me look at main.cpp and this");
}

TEST(Attention, BodiesAreEscapedOnlyForServersThatReadMarkup) {
    struct Case {
        char const* text;
        bool markup;
        char const* body;
    };
    for (auto const& c : {Case{"<b>hi</b> & bye", true, "&lt;b&gt;hi&lt;/b&gt; &amp; bye"},
                          Case{"<b>hi</b> & bye", false, "<b>hi</b> & bye"},
                          Case{"plain words…", true, "plain words…"}, Case{"", true, ""}})
        EXPECT_EQ(chat::notification_body(c.text, c.markup), c.body) << c.text;
}

TEST(Attention, ShortensLongTextsOnACharacterBoundary) {
    Attention attention;
    auto view = base_view();
    (void)attention.update(view, "u_me", away, {}, start);
    std::string text = "@Me " + std::string(300, 'x');
    text.replace(238, 2, "é");  // a two-byte character across the cut
    view.all_messages.push_back(message("m1", "c_general", "u_bob", text, start + 1, {}, {"u_me"}));
    auto alerts = attention.update(view, "u_me", away, {}, start + 2);
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_LE(alerts[0].body.size(), 240u + 3);
    EXPECT_TRUE(alerts[0].body.ends_with("…"));
    auto valid = alerts[0].body.substr(0, alerts[0].body.size() - 3);
    EXPECT_NE(static_cast<unsigned char>(valid.back()) & 0xC0, 0xC0) << "cut inside a character";
}

TEST(Attention, UnreadTotalSkipsArchivedChannels) {
    auto view = base_view();
    view.channels[0].unread = 3;
    view.channels[1].unread = 4;
    view.channels[1].archived = true;
    EXPECT_EQ(chat::total_unread(view), 3);
}

TEST(UserSettings, RoundTripAndDamagedFiles) {
    namespace fs = std::filesystem;
    fs::path dir = fs::temp_directory_path() / ("chat-settings-" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::path file = dir / "nested" / "settings.ini";
    EXPECT_EQ(chat::load_user_settings(file), chat::UserSettings{}) << "missing file";

    chat::UserSettings s;
    s.theme = chat::ThemeChoice::Light;
    s.notifications = false;
    s.sounds = false;
    s.muted_channels = {"c_a", "c_b;odd"};
    ASSERT_TRUE(chat::save_user_settings(file, s));
    EXPECT_EQ(chat::load_user_settings(file), s);

    std::ofstream(file)
        << "[appearance]\ntheme=purple\n[notifications]\nenabled=perhaps\n\xff\xfe garbage\n";
    EXPECT_EQ(chat::load_user_settings(file), chat::UserSettings{});
    fs::remove_all(dir);
}

}  // namespace
