#include <gtest/gtest.h>

#include "vemo_ui/i18n.hpp"

using namespace vemo_ui::i18n;

TEST(Fluent, ParsesMessagesCommentsAndContinuations)
{
    auto r = parse_fluent(
        "# comment\n\nhello = Hello, world\r\nmulti = first\n    second\n"
        "## group comment\nbad line\nspaced-key   =   trimmed  \nempty =\n  stray\n");
    ASSERT_EQ(r.messages.size(), 4u);
    EXPECT_EQ(r.messages[0].key, "hello");
    EXPECT_EQ(r.messages[0].value, "Hello, world");
    EXPECT_EQ(r.messages[1].value, "first\nsecond");
    EXPECT_EQ(r.messages[2].value, "trimmed");
    EXPECT_EQ(r.messages[3].key, "empty");
    EXPECT_EQ(r.messages[3].value, "stray");
    EXPECT_EQ(r.errors.size(), 1u);
}

TEST(EmbeddedCatalog, LooksUpDefaultLocaleAndFallsBackToKey)
{
    static constexpr std::string_view en = "greeting = Hi\nplus = ＋ Add\n";
    static constexpr std::string_view de = "greeting = Hallo\n";
    EmbeddedCatalog catalog{"en-US", {{"de-DE", de}, {"en-US", en}}, "greeting"};
    EXPECT_EQ(catalog.t("greeting"), "Hi");
    EXPECT_EQ(catalog.t("plus"), "＋ Add");
    EXPECT_EQ(catalog.t("absent-key"), "absent-key");
    EmbeddedCatalog other_locale{"fr-FR", {{"en-US", en}}, "greeting"};
    EXPECT_EQ(other_locale.t("greeting"), "greeting");
}
