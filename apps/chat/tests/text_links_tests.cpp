// Links found in message text: where they start and stop, and which addresses may be opened.
#include <gtest/gtest.h>

#include "app/text_links.hpp"

namespace {

struct FindCase {
    char const* text;
    std::vector<char const*> links;  // the text of each link found, in order
};

class FindLinksTest : public testing::TestWithParam<FindCase> {};

TEST_P(FindLinksTest, FindsExactlyTheseLinks) {
    std::string_view text = GetParam().text;
    auto found = chat::find_links(text);
    std::vector<std::string> got;
    for (auto const& l : found) {
        ASSERT_LT(l.begin, l.end);
        ASSERT_LE(l.end, text.size());
        got.emplace_back(text.substr(l.begin, l.end - l.begin));
    }
    std::vector<std::string> want(GetParam().links.begin(), GetParam().links.end());
    EXPECT_EQ(got, want) << text;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, FindLinksTest,
    testing::Values(
        FindCase{"see https://example.com/a?b=c#d now", {"https://example.com/a?b=c#d"}},
        FindCase{"HTTP://EXAMPLE.COM", {"HTTP://EXAMPLE.COM"}},
        FindCase{"Go to https://example.com.", {"https://example.com"}},
        FindCase{"(see https://en.wikipedia.org/wiki/Foo_(bar))",
                 {"https://en.wikipedia.org/wiki/Foo_(bar)"}},
        FindCase{"(https://example.com/x)", {"https://example.com/x"}},
        FindCase{"really? https://a.example/?q=1!?", {"https://a.example/?q=1"}},
        FindCase{"'https://a.example/it's'", {"https://a.example/it's"}},
        FindCase{"**https://a.example/bold**", {"https://a.example/bold"}},
        FindCase{"<https://a.example/x>", {"https://a.example/x"}},
        FindCase{"two http://a.example,https://b.example", {"http://a.example,https://b.example"}},
        FindCase{"two http://a.example, https://b.example",
                 {"http://a.example", "https://b.example"}},
        FindCase{"mail mailto:ana@example.org?subject=hi", {"mailto:ana@example.org?subject=hi"}},
        FindCase{"https://bücher.example/straße", {"https://bücher.example/straße"}},
        // Not links: other schemes, no host, glued to a word, no address.
        FindCase{"javascript:alert(1) file:///etc/passwd data:text/html,x vemo-invite:abc", {}},
        FindCase{"https:// http://. https:///path https://?q mailto: mailto:@x mailto:a@", {}},
        FindCase{"xhttps://example.com", {}}, FindCase{"https", {}},
        // Invisible characters and spaces end a link; a right-to-left override never joins it.
        FindCase{"https://a.example/\xE2\x80\xAEgnp.exe", {"https://a.example/"}},
        FindCase{"https://a.example/x\xC2\xA0tail", {"https://a.example/x"}},
        FindCase{"https://a.example/\xff\xfe", {"https://a.example/"}},
        FindCase{"https://a.example/\"><script>", {"https://a.example/"}}));

TEST(FindLinks, EncodesNonAsciiInTheTarget) {
    auto found = chat::find_links("https://bücher.example/");
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].target, "https://b%C3%BCcher.example/");
}

struct SafeCase {
    char const* address;
    char const* opened;  // nullptr: refused
};

class SafeLinkTest : public testing::TestWithParam<SafeCase> {};

TEST_P(SafeLinkTest, OpensOnlyWellFormedWebAndMailAddresses) {
    auto got = chat::safe_link(GetParam().address);
    if (GetParam().opened) {
        ASSERT_TRUE(got) << GetParam().address;
        EXPECT_EQ(*got, GetParam().opened);
    } else {
        EXPECT_FALSE(got) << GetParam().address << " -> " << got.value_or("");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Addresses, SafeLinkTest,
    testing::Values(SafeCase{"https://example.com/a", "https://example.com/a"},
                    SafeCase{"  http://example.com  ", "http://example.com"},
                    SafeCase{"mailto:ana@example.org", "mailto:ana@example.org"},
                    SafeCase{"javascript:alert(1)", nullptr},
                    SafeCase{"JavaScript:https://example.com", nullptr},
                    SafeCase{"file:///etc/passwd", nullptr}, SafeCase{"data:text/html,hi", nullptr},
                    SafeCase{"vemo-chat:join?invite=x", nullptr},
                    SafeCase{"//example.com", nullptr}, SafeCase{"example.com", nullptr},
                    SafeCase{"https://exa mple.com", nullptr},
                    SafeCase{"https://example.com/\n", "https://example.com/"},
                    SafeCase{"https://example.com/\x01", nullptr}, SafeCase{"https://", nullptr},
                    SafeCase{"", nullptr}));

}  // namespace
