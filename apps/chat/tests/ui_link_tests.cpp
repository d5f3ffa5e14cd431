// Formatted messages in the window: links are controls that open the desktop's handler by
// click, keyboard and screen reader, unsafe addresses stay text, and the row looks formatted.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "doc/seeds.hpp"
#include "ui_test_support.hpp"
#include "vemo_ui/desktop.hpp"
#include "vemo_ui/image_decode.hpp"

using namespace chat;
using chat::test::Window;

namespace {

constexpr char const* formatted =
    "Read **this** first: https://example.com/a. Then [the docs](https://example.com/d), "
    "never [that](javascript:alert(1)) or <b>&amp;</b>\n\n"
    "> a *quoted* line\n\n"
    "- one `code`\n- ~~two~~\n\n"
    "```\nint main() { return 0; }\n```";

class LinkTest : public testing::Test {
  protected:
    void SetUp() override {
        vemo_ui::desktop::set_uri_opener([this](std::string const& uri) {
            opened.push_back(uri);
            return true;
        });
        w.run();
        action::SendMessage send;
        send.channel = "c_crit";
        send.id = "m_formatted";
        send.author = "u_elin";
        send.ts = doc::demo_first_ts + 100000;
        send.text = formatted;
        ASSERT_TRUE(
            w.app.dispatch_encoded({"chat.action", encode(ChatAction(send)), std::nullopt}));
        w.app.activate({HitKind::Channel, "c_crit"});
        w.run();
    }
    void TearDown() override { vemo_ui::desktop::set_uri_opener(nullptr); }

    std::vector<HitRegion> links() const {
        std::vector<HitRegion> out;
        for (auto const& r : w.app.hit_regions())
            if (r.target.kind == HitKind::OpenLink) out.push_back(r);
        return out;
    }

    Window w;
    std::vector<std::string> opened;
};

std::string const link_a = "chat.link:m_formatted:https://example.com/a";
std::string const link_d = "chat.link:m_formatted:https://example.com/d";

TEST_F(LinkTest, OnlyWebAndMailAddressesBecomeLinks) {
    auto found = links();
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].target.b, "https://example.com/a");
    EXPECT_EQ(found[1].target.b, "https://example.com/d");
    for (auto const& r : found) {
        EXPECT_GT(r.rect.width, 10);
        EXPECT_LT(r.rect.width, 400);
    }
    auto tree = w.app.accessibility();
    auto const* node = tree.find(link_d);
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(node->role, vemo_ui::a11y::Role::Link);
}

TEST_F(LinkTest, ClickKeyboardAndScreenReaderOpenTheAddress) {
    auto const* a = w.find(link_a);
    ASSERT_NE(a, nullptr);
    auto at = a->rect.center();
    w.app.handle_event(test::pointer(vemo_ui::PointerEvent::Kind::Move, at));
    w.run();
    w.app.handle_event(test::pointer(vemo_ui::PointerEvent::Kind::Press, at));
    w.app.handle_event(test::pointer(vemo_ui::PointerEvent::Kind::Release, at));
    EXPECT_EQ(opened, std::vector<std::string>{"https://example.com/a"});

    ASSERT_TRUE(w.app.perform_semantic_action(link_d, "activate"));
    EXPECT_EQ(opened.back(), "https://example.com/d");

    // Tab reaches the link like any control and Enter opens it.
    opened.clear();
    for (int i = 0; i < 200 && !w.app.accessibility().find(link_d)->states.focused; ++i) {
        w.app.handle_event(test::key(vemo_ui::Key::Tab));
        w.run();
    }
    ASSERT_TRUE(w.app.accessibility().find(link_d)->states.focused);
    w.app.handle_event(test::key(vemo_ui::Key::Enter));
    EXPECT_EQ(opened, std::vector<std::string>{"https://example.com/d"});
}

// A long address wraps inside the text column instead of running out of the window.
TEST_F(LinkTest, ALongLinkWrapsInsideTheRow) {
    std::string address = "https://example.com/" + std::string(1500, 'x');
    action::SendMessage send;
    send.channel = "c_crit";
    send.id = "m_long";
    send.author = "u_elin";
    send.ts = doc::demo_first_ts + 100001;
    send.text = "see " + address;
    ASSERT_TRUE(w.app.dispatch_encoded({"chat.action", encode(ChatAction(send)), std::nullopt}));
    w.run();
    int fragments = 0;
    for (auto const& r : links()) {
        if (r.target.a != "m_long") continue;
        EXPECT_EQ(r.target.b, address);
        EXPECT_GE(r.rect.x, 300);
        EXPECT_LE(r.rect.right(), 1280);
        ++fragments;
    }
    EXPECT_GE(fragments, 10);
}

TEST_F(LinkTest, AForgedLinkControlOpensNothingUnsafe) {
    w.app.activate({HitKind::OpenLink, "m_formatted", "javascript:alert(1)"});
    w.app.activate({HitKind::OpenLink, "m_formatted", "file:///etc/passwd"});
    EXPECT_TRUE(opened.empty());
}

// The picture of the row in both themes: written for a person to look at, and checked for the
// theme's link colour under the link.
class FormattedRowTest : public LinkTest, public testing::WithParamInterface<vemo_ui::ThemeKind> {};

TEST_P(FormattedRowTest, LinksAreDrawnInTheLinkColour) {
    bool dark = GetParam() == vemo_ui::ThemeKind::Dark;
    w.frame = *vemo_ui::launch::shot_frame::ShotFrame::create(1280, 800, GetParam());
    w.run();
    auto path = std::filesystem::path(CHAT_SHOT_DIR) /
                (dark ? "formatted-message.png" : "formatted-message-light.png");
    ASSERT_TRUE(w.frame.write_png(path));
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> bytes(std::istreambuf_iterator<char>(in), {});
    auto image = vemo_ui::decode_image(bytes);
    ASSERT_TRUE(image) << image.error();
    auto pixel = [&](double x, double y) {
        auto const* p = &image->pixels[size_t(y) * size_t(image->stride) + size_t(x) * 4];
        return vemo_ui::Color{p[2] / 255.f, p[1] / 255.f, p[0] / 255.f, 1};
    };
    auto const* a = w.find(link_a);
    ASSERT_NE(a, nullptr);
    auto link = vemo_ui::Theme::of(GetParam()).link;
    int link_pixels = 0;
    for (double y = a->rect.y; y < a->rect.bottom(); ++y)
        for (double x = a->rect.x; x < a->rect.right(); ++x) {
            auto c = pixel(x, y);
            if (std::abs(c.r - link.r) < 0.08 && std::abs(c.g - link.g) < 0.08 &&
                std::abs(c.b - link.b) < 0.08)
                ++link_pixels;
        }
    EXPECT_GT(link_pixels, 20);
}

INSTANTIATE_TEST_SUITE_P(Themes, FormattedRowTest,
                         testing::Values(vemo_ui::ThemeKind::Dark, vemo_ui::ThemeKind::Light));

}  // namespace
