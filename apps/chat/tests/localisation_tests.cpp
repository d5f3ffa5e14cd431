#include <gtest/gtest.h>

#include "app/localisation.hpp"

using namespace chat;

TEST(Localisation, ResourceIsVerbatim)
{
    EXPECT_EQ(catalog_resource.size(), 726u);
    EXPECT_EQ(std::count(catalog_resource.begin(), catalog_resource.end(), '\n'), 21);
    EXPECT_TRUE(catalog_resource.ends_with("chat-call-leave = Leave\n"));
    EXPECT_TRUE(catalog_resource.starts_with("# Chat \u2014 user-facing strings.\n\n"));
    EXPECT_EQ(catalog().default_locale, "en-US");
    EXPECT_EQ(catalog().key, "chat-mention-agent-tag");
}

TEST(Localisation, EveryKeyTranslates)
{
    std::vector<std::pair<std::string_view, std::string_view>> expected = {
        {"chat-mention-agent-tag", "agent"},
        {"chat-identity-available", "Available"},
        {"chat-identity-in-voice", "In voice"},
        {"chat-sidebar-add-category", "\uff0b Category"},
        {"chat-call-mute", "Mute"},
        {"chat-call-unmute", "Unmute"},
        {"chat-call-deafen", "Deafen"},
        {"chat-call-undeafen", "Undeafen"},
        {"chat-call-audio-only", "Audio only"},
        {"chat-call-collapse", "Collapse"},
        {"chat-call-leave", "Leave"},
    };
    for (auto [key, text] : expected) EXPECT_EQ(translate(key), text) << key;
    EXPECT_EQ(translate("chat-no-such-key"), "chat-no-such-key");
}

TEST(Localisation, CallControlLabelsMeasuredInOrder)
{
    std::vector<double> sizes;
    auto labels = measure_labels(call_control_keys, [&](std::string const& text, double size) {
        sizes.push_back(size);
        return double(text.size());
    }, 10);
    ASSERT_EQ(labels.size(), 7u);
    EXPECT_EQ(labels[0].text, "Mute");
    EXPECT_EQ(labels[0].width, 4 + 20);
    EXPECT_EQ(labels[4].text, "Audio only");
    EXPECT_EQ(labels[6].text, "Leave");
    EXPECT_EQ(sizes, std::vector<double>(7, 13.0));
}
