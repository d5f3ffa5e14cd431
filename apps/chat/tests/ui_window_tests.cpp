#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "app/screenshots.hpp"
#include "doc/schema.hpp"
#include "model/readers.hpp"
#include "ui_test_support.hpp"

using namespace chat;
using chat::test::Window;

namespace {

struct ModeCase {
    double width;
    bool narrow;
    bool thread_narrow;
};

class LayoutModeTest : public testing::TestWithParam<ModeCase> {};

TEST_P(LayoutModeTest, WidthPicksModes) {
    auto c = GetParam();
    auto modes = modes_for(c.width, 1.0, {});
    EXPECT_EQ(modes.narrow, c.narrow);
    EXPECT_EQ(modes.thread_narrow, c.thread_narrow);
    // A larger UI scale divides the width before the comparison.
    auto scaled = modes_for(c.width * 2, 2.0, {});
    EXPECT_EQ(scaled.narrow, c.narrow);
}

INSTANTIATE_TEST_SUITE_P(Boundaries, LayoutModeTest,
                         testing::Values(ModeCase{759, true, true}, ModeCase{760, false, true},
                                         ModeCase{1039, false, true},
                                         ModeCase{1040, false, false}));

TEST(LayoutModes, WidthBelowOneKeepsPreviousModes) {
    LayoutModes previous{true, true, true};
    auto modes = modes_for(0.5, 1.0, previous);
    EXPECT_TRUE(modes.narrow);
    EXPECT_TRUE(modes.thread_narrow);
}

TEST(Regions, DockedPanelsNarrowTheMainArea) {
    auto left = vemo_ui::Flap::with_default(true);
    auto right = vemo_ui::Flap::with_default(false);
    right.set_override(true);
    right.progress = 1;
    auto r = compute_regions({0, 0, 1400, 800}, modes_for(1400, 1, {}), left, right, false, 1);
    EXPECT_EQ(r.main.x, 316);
    EXPECT_EQ(r.main.right(), 1400 - 360);
    EXPECT_EQ(r.rail.width, 68);
    EXPECT_EQ(r.sidebar.width, 248);
    EXPECT_EQ(r.heading.height, 60);
}

TEST(Badges, CountsAboveNinetyNineAreCapped) {
    EXPECT_EQ(badge_text(99), "99");
    EXPECT_EQ(badge_text(100), "99+");
    EXPECT_EQ(badge_text(1), "1");
}

TEST(ClockTime, HoursAndMinutesInTheGivenZone) {
    EXPECT_EQ(clock_time_in(doc::demo_first_ts, "UTC", false), "09:00");
    EXPECT_EQ(clock_time_in(doc::demo_last_ts, "UTC", false), "12:02");
    EXPECT_EQ(clock_time_in(-60, "UTC", false), "23:59");
    EXPECT_EQ(clock_time_in(doc::demo_first_ts, "+05:30", false), "14:30");
    EXPECT_EQ(clock_time_in(doc::demo_first_ts, "-10:00", false), "23:00");
    EXPECT_EQ(clock_time_in(doc::demo_last_ts + 3600, "UTC", true).substr(0, 5), "1:02 ");
}

TEST(ImageSource, DemoPicturesKeepTheirReferenceAndBlobsGetTheBlobScheme) {
    EXPECT_EQ(image_source("vemo-demo://call-grid"), "vemo-demo://call-grid");
    EXPECT_EQ(image_source("9f86d081884c7d65"), "vemo-blob://9f86d081884c7d65");
}

TEST(Trim, BlanksOfEveryKindGo) {
    EXPECT_EQ(trimmed("  hi there \n\t"), "hi there");
    EXPECT_EQ(trimmed("\u3000\u00a0x\u2003"), "x");
    EXPECT_EQ(trimmed(" \n "), "");
}

TEST(FrameCycle, SeedsOnceAndMarksTheShownChannelRead) {
    Window w;
    w.run();
    EXPECT_EQ(w.app.view().workspaces.size(), 3u);
    EXPECT_EQ(w.app.navigation().channel_id, "c_crit");
    auto heads = w.doc.get_heads();
    w.run();
    EXPECT_EQ(w.doc.get_heads(), heads) << "an idle frame writes nothing";
    auto shown =
        std::ranges::count_if(w.app.view().messages, [](auto const& m) { return !m.parent; });
    EXPECT_EQ(doc::read_count(w.doc, "c_crit", "u_me"), shown);
    EXPECT_FALSE(w.app.needs_animation_frame());
}

TEST(FrameCycle, WithoutADocumentNothingHappens) {
    ChatApp app;
    vemo_ui::FrameContext ctx;
    app.sync(ctx);
    EXPECT_TRUE(app.view().workspaces.empty());
    EXPECT_FALSE(app.synthetic_accessibility_rect(1, 0));
}

TEST(FrameCycle, ThreadClosesWhenItsRootDisappears) {
    Window w;
    w.run();
    w.app.open_thread("m_concept");
    w.run();
    ASSERT_TRUE(w.app.navigation().thread_root);
    w.app.dispatch_encoded({"chat.action",
                            R"({"DeleteMessage":{"channel":"c_crit","id":"m_concept"}})",
                            std::nullopt});
    w.run();
    EXPECT_FALSE(w.app.navigation().thread_root);
    EXPECT_TRUE(w.app.main_composer().is_focused());
}

TEST(FrameCycle, SyntheticRowsAnswerOnlyForKindOneInsideTheList) {
    Window w;
    w.run();
    size_t rows = w.app.visible_rows().size();
    ASSERT_GT(rows, 0u);
    EXPECT_TRUE(w.app.synthetic_accessibility_rect(1, 0));
    EXPECT_FALSE(w.app.synthetic_accessibility_rect(0, 0));
    EXPECT_FALSE(w.app.synthetic_accessibility_rect(1, rows));
    EXPECT_FALSE(w.app.focus_synthetic_accessibility(1, rows));
    EXPECT_TRUE(w.app.focus_synthetic_accessibility(1, rows - 1));
}

TEST(Flaps, NarrowToggleSlidesInWithACappedStepAndDismissCloses) {
    Window w(700, 800);
    w.run(10);
    ASSERT_TRUE(w.app.layout_modes().narrow);
    EXPECT_EQ(w.app.left_flap().progress, 0) << "the navigation flap overlays and starts closed";
    w.app.activate({HitKind::ToggleLeftFlap});
    w.run(10);  // starts the clock
    EXPECT_TRUE(w.app.needs_animation_frame());
    w.run(15);  // a five-second stall counts as a tenth of a second
    EXPECT_NEAR(w.app.left_flap().progress, 1 - std::exp(-1.4), 1e-9);
    for (double t = 15.1; t < 17; t += 0.1) w.run(t);
    EXPECT_EQ(w.app.left_flap().progress, 1);
    w.app.activate({HitKind::Dismiss});
    EXPECT_FALSE(w.app.left_flap().target());
}

TEST(Accessibility, TreeHasMessagesHeadingAndControls) {
    Window w;
    w.run();
    auto root = w.app.accessibility();
    EXPECT_EQ(root.label, "Chat");
    EXPECT_EQ(root.description, "Channels in the current Vemo workspace");
    auto const* list = root.find("message-list");
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->label, "Messages");
    EXPECT_EQ(size_t(std::ranges::count_if(list->children,
                                           [](auto const& row) { return !row.states.offscreen; })),
              w.app.visible_rows().size());
    auto const* heading = root.find("conversation-heading");
    ASSERT_NE(heading, nullptr);
    EXPECT_EQ(heading->label, "# design-crit");
    EXPECT_EQ(heading->description, "Share work, get sharp feedback");
    auto const* composer = root.find("chat.composer");
    ASSERT_NE(composer, nullptr);
    EXPECT_EQ(composer->role, vemo_ui::a11y::Role::TextInput);
    EXPECT_TRUE(composer->states.focused);
    auto const* channel = root.find("chat.channel:c_crit");
    ASSERT_NE(channel, nullptr);
    EXPECT_TRUE(channel->states.selected);
    EXPECT_EQ(root.find("chat.control:Dismiss"), nullptr);
}

TEST(Scrolling, OnlyVisibleRowsAreLaidOutForALongChannel) {
    Window w;
    w.run();
    for (int i = 0; i < 300; ++i) {
        ASSERT_TRUE(test::send_message(w.app, "c_random", "m_bulk" + std::to_string(i), "u_elin",
                                       doc::demo_first_ts + i,
                                       "message number " + std::to_string(i)));
    }
    w.app.activate({HitKind::Channel, "c_random"});
    w.run();
    EXPECT_GT(w.app.visible_rows().size(), 3u);
    EXPECT_LT(w.app.visible_rows().size(), 60u);
    EXPECT_EQ(w.app.visible_rows().back().message, "m_bulk299");
    w.app.handle_event(vemo_ui::WheelEvent{{700, 300}, 0, -300, {}});
    EXPECT_FALSE(w.app.following_latest());
    w.run();
    EXPECT_NE(w.app.visible_rows().back().message, "m_bulk299");
    EXPECT_NE(w.find("chat.jump-to-latest"), nullptr);
    w.app.handle_event(test::key(vemo_ui::Key::End, false, true));
    EXPECT_TRUE(w.app.following_latest());
    EXPECT_EQ(w.app.scroll_offset(), 0);
}

// --- Screenshots ---------------------------------------------------------------------------

struct ScenarioCase {
    char const* name;
    uint32_t width;
};

class ScenarioTest : public testing::TestWithParam<ScenarioCase> {};

TEST_P(ScenarioTest, RendersAPictureOfTheRequestedSize) {
    auto c = GetParam();
    auto path =
        std::filesystem::temp_directory_path() / (std::string("ui-shot-") + c.name + ".png");
    vemo_ui::launch::ScreenshotRequest request;
    request.output = path;
    request.scenario = c.name;
    request.size = vemo_ui::launch::ShotSize{c.width, 700};
    ASSERT_TRUE(write_shot(request));
    std::ifstream in(path, std::ios::binary);
    unsigned char header[24] = {};
    in.read(reinterpret_cast<char*>(header), 24);
    EXPECT_EQ(header[1], 'P');
    uint32_t width = uint32_t(header[16]) << 24 | uint32_t(header[17]) << 16 |
                     uint32_t(header[18]) << 8 | header[19];
    EXPECT_EQ(width, c.width);
    std::filesystem::remove(path);
}

INSTANTIATE_TEST_SUITE_P(Listed, ScenarioTest,
                         testing::Values(ScenarioCase{"narrow", 700}, ScenarioCase{"history", 1280},
                                         ScenarioCase{"compact", 1100},
                                         ScenarioCase{"starter", 1280},
                                         ScenarioCase{"people", 1280},
                                         ScenarioCase{"thread-narrow", 900},
                                         ScenarioCase{"context", 1280},
                                         ScenarioCase{"msgmenu", 1280}, ScenarioCase{"edit", 1280},
                                         ScenarioCase{"composer", 1280}, ScenarioCase{"", 1280}),
                         [](auto const& info) {
                             std::string n = info.param.name;
                             std::ranges::replace(n, '-', '_');
                             return n.empty() ? std::string("default") : n;
                         });

TEST(Scenarios, MissingOutputIsAnError) {
    vemo_ui::launch::ScreenshotRequest request;
    auto result = write_shot(request);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), "missing screenshot output");
}

TEST(Scenarios, SetUpReachesTheExpectedState) {
    {
        Window w;
        set_up_scenario(w.app, "context");
        w.run();
        ASSERT_TRUE(w.app.context_menu().is_open());
        std::vector<std::string> labels;
        for (auto const& item : w.app.context_menu().items()) labels.push_back(item.label);
        EXPECT_EQ(labels, (std::vector<std::string>{"Delete", "Archive / unarchive", "Rename",
                                                    "Move up", "Move down"}));
        EXPECT_TRUE(w.app.context_menu().items()[0].destructive);
    }
    {
        Window w;
        set_up_scenario(w.app, "edit");
        w.run();
        ASSERT_TRUE(w.app.editing());
        EXPECT_EQ(w.app.editing()->message, "m_me2");
        // The caret rests at the end: byte 125, the 123rd scalar value.
        EXPECT_EQ(w.app.edit_input().text().size(), 125u);
        EXPECT_EQ(w.app.edit_input().cursor_pos(), 123u);
        EXPECT_TRUE(w.app.edit_input().is_focused());
    }
    {
        Window w;
        set_up_scenario(w.app, "composer");
        w.run();
        EXPECT_TRUE(w.app.main_composer().text().ends_with("\nPlease check teh adress"));
        EXPECT_EQ(model::read_draft(w.doc, "c_crit"), w.app.main_composer().text());
    }
    {
        Window w;
        set_up_scenario(w.app, "starter");
        w.run();
        ASSERT_EQ(w.app.view().workspaces.size(), 1u);
        EXPECT_EQ(w.app.view().workspaces[0].id, "ws_home");
    }
    {
        Window w(900, 700);
        set_up_scenario(w.app, "thread-narrow");
        w.run();
        EXPECT_EQ(w.app.navigation().thread_root, "m_concept");
        EXPECT_EQ(w.app.right_flap().progress, 1);
        EXPECT_NE(w.find("chat.close-thread"), nullptr);
        EXPECT_NE(w.find("chat.thread-composer"), nullptr);
    }
    {
        Window w;
        set_up_scenario(w.app, "history");
        w.run();
        EXPECT_FALSE(w.app.following_latest());
        EXPECT_NE(w.find("chat.jump-to-latest"), nullptr);
    }
}

}  // namespace
