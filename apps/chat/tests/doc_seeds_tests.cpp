#include <gtest/gtest.h>

#include <set>

#include "doc/schema.hpp"
#include "doc/seeds.hpp"
#include "model/readers.hpp"

namespace chat::doc {
namespace {

LocalPerson const local{"u_local", "Ann Lee", "AL", 5, Presence::Idle};

size_t ops_since_commit(AutoCommit& doc) {
    size_t n = doc.pending_ops();
    doc.commit();
    return n;
}

struct SeedCase {
    char const* name;
    bool (*seed)(AutoCommit&);
};

class EitherSeed : public testing::TestWithParam<SeedCase> {};

TEST_P(EitherSeed, RunsOncePerDocument) {
    AutoCommit doc;
    EXPECT_TRUE(GetParam().seed(doc));
    EXPECT_TRUE(is_seeded(doc));
    ops_since_commit(doc);
    EXPECT_FALSE(GetParam().seed(doc));
    EXPECT_EQ(ops_since_commit(doc), 0u);
}

TEST_P(EitherSeed, AMarkerThatIsNotTrueDoesNotCount) {
    for (auto marker :
         {automerge::ScalarValue{false}, automerge::ScalarValue{std::string("yes")}}) {
        AutoCommit doc;
        ASSERT_TRUE(doc.put(ObjId::root(), std::string("seeded"), marker));
        EXPECT_FALSE(is_seeded(doc));
        EXPECT_TRUE(GetParam().seed(doc));
        EXPECT_TRUE(is_seeded(doc));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Seeds, EitherSeed,
    testing::Values(SeedCase{"home", [](AutoCommit& d) { return home_seed(d, local); }},
                    SeedCase{"demo", [](AutoCommit& d) { return demo_seed(d); }}),
    [](auto const& info) { return std::string(info.param.name); });

TEST(HomeSeed, OneTextAndOneVoiceChannelAndNoMessages) {
    AutoCommit doc;
    home_seed(doc, local);
    auto channels = model::read_channels(doc);
    ASSERT_EQ(channels.size(), 2u);
    EXPECT_EQ(channels[0].id, "c_general");
    EXPECT_EQ(channels[0].kind, ChannelKind::Text);
    EXPECT_EQ(channels[1].id, "c_lounge");
    EXPECT_EQ(channels[1].kind, ChannelKind::Voice);
    EXPECT_EQ(get_map(doc, ObjId::root(), "messages"), std::nullopt);
    auto users = model::read_users(doc);
    ASSERT_EQ(users.size(), 1u);
    EXPECT_EQ(users[0], (Person{"u_local", "Ann Lee", "AL", 5, Presence::Idle, false}));
}

TEST(SeedForFrame, InteractiveKeepsTheLocalRecordCurrentOnASeededDocument) {
    AutoCommit doc;
    demo_seed(doc);
    seed_for_frame(doc, true, false, local);
    EXPECT_EQ(model::read_workspaces(doc).size(), 3u);  // no home workspace added
    ops_since_commit(doc);
    seed_for_frame(doc, true, false, local);
    EXPECT_EQ(ops_since_commit(doc), 0u);
    auto renamed = local;
    renamed.name = "Ann Leigh";
    seed_for_frame(doc, true, false, renamed);
    EXPECT_EQ(ops_since_commit(doc), 1u);
}

TEST(SeedForFrame, ScreenshotInstancesPickTheirSeed) {
    AutoCommit home;
    seed_for_frame(home, false, true, local);
    EXPECT_EQ(model::read_workspaces(home).at(0).id, "ws_home");
    AutoCommit demo;
    seed_for_frame(demo, false, false, local);
    EXPECT_EQ(model::read_workspaces(demo).at(0).id, "ws_acme");
    EXPECT_TRUE(model::read_users(demo).size() == 6u);  // no local record in a screenshot
}

class DemoSeed : public testing::Test {
  protected:
    void SetUp() override { demo_seed(doc); }
    AutoCommit doc;
};

TEST_F(DemoSeed, TheDesignConversationUsesEveryListedPiece) {
    auto crit = model::read_messages(doc, "c_crit");
    std::set<std::string> ids;
    std::set<std::string> emoji;
    for (auto const& m : crit) {
        ids.insert(m.id);
        for (auto const& g : m.reactions) emoji.insert(g.emoji);
        EXPECT_GE(m.ts, demo_first_ts);
        EXPECT_LE(m.ts, demo_last_ts);
        EXPECT_TRUE(m.id.starts_with("m_"));
    }
    for (auto id :
         {"m_open", "m_concept", "m_me1", "m_ravi", "m_jonah", "m_clip", "m_tove", "m_me2"})
        EXPECT_TRUE(ids.contains(id)) << id;
    EXPECT_EQ(emoji, (std::set<std::string>{"🎉", "👍", "🔥", "🚀", "👀", "❤️"}));
    EXPECT_TRUE(std::ranges::is_sorted(crit, {}, &Message::ts));

    auto by_text = [&](std::string_view text) {
        auto it = std::ranges::find(crit, text, &Message::text);
        return it == crit.end() ? nullptr : &*it;
    };
    auto const* last = &crit.back();
    EXPECT_EQ(last->text, "That's the one. Starting a huddle to walk through the grid — jump in.");
    EXPECT_EQ(last->ts, demo_last_ts);

    auto const* notes = by_text("Dropping the transport notes here so they don't get lost.");
    ASSERT_TRUE(notes);
    ASSERT_TRUE(notes->attachment);
    auto const& file = std::get<FileAttachment>(*notes->attachment);
    EXPECT_EQ(file.name, "moq-over-iroh.md");
    EXPECT_EQ(file.blob, "demo:moq-over-iroh");

    auto const* clip =
        by_text("Screen recording of the tile-promotion motion — this is the feel I'm after:");
    ASSERT_TRUE(clip && clip->attachment);
    auto const& video = std::get<VideoAttachment>(*clip->attachment);
    EXPECT_EQ(std::tie(video.name, video.blob, video.w, video.h),
              std::tuple("tile-promotion.webm", "demo:tile-promotion", 1280u, 720u));

    auto concept_shot = std::ranges::find(crit, "m_concept", &Message::id);
    auto const& image = std::get<ImageAttachment>(concept_shot->attachment.value());
    EXPECT_EQ(image, (ImageAttachment{"call-overlay-v3.png", "vemo-demo://call-grid", 640, 360}));
}

TEST_F(DemoSeed, TheThreadAndTheEditedMessage) {
    auto crit = model::read_messages(doc, "c_crit");
    auto root = std::ranges::find(crit, "m_ravi", &Message::id);
    ASSERT_NE(root, crit.end());
    EXPECT_EQ(root->text, "Should the chips show a mic-level ring when someone's talking?");
    std::vector<std::string> replies;
    for (auto const& m : crit)
        if (m.parent == "m_ravi") replies.push_back(m.text);
    EXPECT_EQ(replies, (std::vector<std::string>{
                           "Yeah — a thin accent ring that pulses. I'll spec the motion token.",
                           "Perfect, that keeps the audio-only state legible."}));

    auto edited = std::ranges::find_if(crit, [](Message const& m) { return m.edited; });
    ASSERT_NE(edited, crit.end());
    ASSERT_EQ(edited->history.size(), 1u);
    EXPECT_TRUE(edited->text.starts_with("Wired"));
    EXPECT_TRUE(edited->history[0].text.starts_with("Wired"));
    EXPECT_GT(edited->history[0].ts, edited->ts);
    EXPECT_EQ(std::ranges::count_if(crit, [](Message const& m) { return m.edited; }), 1);
}

TEST_F(DemoSeed, GeneralWelcomeAndTheHuddleCall) {
    auto general = model::read_messages(doc, "c_general");
    ASSERT_EQ(general.size(), 1u);
    EXPECT_TRUE(general[0].text.starts_with("Welcome to Acme Design on Vemo 👋"));
    ASSERT_EQ(general[0].reactions.size(), 1u);
    EXPECT_EQ(general[0].reactions[0].emoji, "👋");

    auto call = model::read_voice(doc, "c_huddle");
    ASSERT_EQ(call.size(), 3u);
    EXPECT_EQ(call[0], (VoiceParticipant{"u_elin", "", true, false, false, false, false}));
    EXPECT_EQ(call[1], (VoiceParticipant{"u_ravi", "", false, true, false, false, false}));
    EXPECT_EQ(call[2], (VoiceParticipant{"u_tove", "", false, false, false, true, false}));
    EXPECT_TRUE(model::read_voice(doc, "c_standup").empty());
    EXPECT_TRUE(get_map(doc, *get_map(doc, ObjId::root(), "voice"), "c_warroom"));
}

TEST_F(DemoSeed, SurvivesSaveAndLoad) {
    auto bytes = doc.save();
    auto loaded = AutoCommit::load(bytes);
    ASSERT_TRUE(loaded) << loaded.error().message;
    EXPECT_EQ(model::read_workspaces(*loaded), model::read_workspaces(doc));
    EXPECT_EQ(model::read_categories(*loaded), model::read_categories(doc));
    EXPECT_EQ(model::read_channels(*loaded), model::read_channels(doc));
    EXPECT_EQ(model::read_users(*loaded), model::read_users(doc));
    for (auto const& channel : model::read_channels(doc)) {
        EXPECT_EQ(model::read_messages(*loaded, channel.id), model::read_messages(doc, channel.id));
        EXPECT_EQ(model::read_voice(*loaded, channel.id), model::read_voice(doc, channel.id));
    }
    EXPECT_EQ(loaded->get_heads(), doc.get_heads());
}

}  // namespace
}  // namespace chat::doc
