// The call as the window drives it: voice channel entries, the call controls by identifier,
// the automation answer, the realtime tick and carrying a call across a hand-over.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "media/call_session.hpp"
#include "model/readers.hpp"
#include "ui_test_support.hpp"

namespace chat::test {
namespace {

using nlohmann::json;

json call_state(ChatApp& app) {
    return json::parse(*app.automation_state("call"));
}

std::optional<VoiceParticipant> my_record(Window& w, std::string const& channel) {
    for (auto& p : model::read_voice(w.doc, channel))
        if (p.person == w.app.identity().id) return p;
    return std::nullopt;
}

TEST(CallInWindow, ControlsActByIdentifierWhileACallRuns) {
    Window w;
    w.run();
    EXPECT_FALSE(w.app.perform_semantic_action("chat.call-mute", "activate"));  // no call yet
    EXPECT_DOUBLE_EQ(w.app.realtime_interval(), 0);

    ASSERT_TRUE(w.app.perform_semantic_action("chat.voice-channel:c_standup", "activate"));
    w.run();
    auto record = my_record(w, "c_standup");
    ASSERT_TRUE(record);
    EXPECT_EQ(record->ticket, "sim://local");
    EXPECT_TRUE(record->talking);
    EXPECT_GT(w.app.realtime_interval(), 0);
    EXPECT_EQ(call_state(w.app)["in_call"], true);
    EXPECT_EQ(call_state(w.app)["channel"], "c_standup");

    ASSERT_TRUE(w.app.perform_semantic_action("chat.call-deafen", "activate"));
    EXPECT_TRUE(my_record(w, "c_standup")->deafened);
    EXPECT_TRUE(my_record(w, "c_standup")->muted);
    ASSERT_TRUE(w.app.perform_semantic_action("chat.call-mute", "activate"));
    EXPECT_FALSE(my_record(w, "c_standup")->deafened);
    EXPECT_EQ(call_state(w.app)["muted"], false);

    // Joining the other voice channel moves the record.
    ASSERT_TRUE(w.app.perform_semantic_action("chat.voice-channel:c_huddle", "activate"));
    EXPECT_FALSE(my_record(w, "c_standup"));
    EXPECT_TRUE(my_record(w, "c_huddle"));

    ASSERT_TRUE(w.app.perform_semantic_action("chat.call-leave", "activate"));
    EXPECT_FALSE(my_record(w, "c_huddle"));
    w.run();
    EXPECT_EQ(call_state(w.app)["in_call"], false);
    EXPECT_EQ(call_state(w.app)["cue"], "leave");
    EXPECT_DOUBLE_EQ(w.app.realtime_interval(), 0);
}

TEST(CallInWindow, ReadOnlyUsersCannotJoin) {
    Window w;
    w.run();
    w.app.set_permissions(vemo_ui::PermissionContext::read_only());
    w.app.perform_semantic_action("chat.voice-channel:c_standup", "activate");
    EXPECT_FALSE(my_record(w, "c_standup"));
    EXPECT_EQ(call_state(w.app)["in_call"], false);
}

TEST(CallInWindow, ARealtimeTickRunsTheCallWithoutAFrame) {
    Window w;
    w.run();
    w.app.join_call("c_standup");
    w.app.call_session().send_media(w.app.identity().id, media::MediaKind::Camera, {}, {1});
    vemo_ui::FrameContext ctx{&w.doc, 1000.02, 1.0};
    w.app.realtime_tick(ctx);
    EXPECT_EQ(call_state(w.app)["media"]["camera"]["dropped"]["own"], 1);
}

TEST(CallInWindow, AContinuationResumesTheCallWithoutJoiningAgain) {
    Window first;
    first.run();
    first.app.join_call("c_huddle");
    first.app.perform_semantic_action("chat.call-mute", "activate");
    first.app.perform_semantic_action("chat.call-audio-only", "activate");
    auto exported = first.app.export_call_continuation();
    ASSERT_TRUE(exported);
    EXPECT_EQ(*exported,
              R"({"workspace_id":"ws_acme","channel_id":"c_huddle","media":{"microphone":true,)"
              R"("camera":false,"screen_share":false,"share_audio":false},"controls":)"
              R"({"microphone_muted":true,"camera_muted":true,"screen_share_paused":false,)"
              R"("share_audio_muted":true}})");

    Window second;
    second.doc = first.doc.fork();
    second.run();
    EXPECT_FALSE(second.app.import_call_continuation(R"({"workspace_id":"ws_acme"})"));
    std::string text_channel = *exported;
    text_channel.replace(text_channel.find("c_huddle"), 8, "c_crit");
    EXPECT_FALSE(second.app.import_call_continuation(text_channel));
    ASSERT_TRUE(second.app.import_call_continuation(*exported));
    second.run();
    EXPECT_EQ(call_state(second.app)["in_call"], false);  // nothing until the resume request
    second.app.request_call_resume();
    second.run();
    auto state = call_state(second.app);
    EXPECT_EQ(state["in_call"], true);
    EXPECT_EQ(state["muted"], true);
    EXPECT_EQ(state["audio_only"], true);
    EXPECT_FALSE(second.app.export_call_continuation() == std::nullopt);

    // A leave request from outside is carried out by the next frame.
    second.app.request_call_leave();
    second.run();
    EXPECT_EQ(call_state(second.app)["in_call"], false);
    EXPECT_FALSE(my_record(second, "c_huddle"));
}

}  // namespace
}  // namespace chat::test
