#include <gtest/gtest.h>

#include "vemo_ui/automation_command.hpp"

using vemo_ui::automation::Command;
using vemo_ui::automation::json_nesting_depth;

namespace {

struct Line {
    char const* name;
    std::string text;
    std::string error;  // a part of the error; empty when the line is a command
};

class CommandLine : public testing::TestWithParam<Line> {};

TEST_P(CommandLine, ParsesOrSaysWhy) {
    auto command = Command::parse(GetParam().text);
    if (GetParam().error.empty()) {
        ASSERT_TRUE(command) << command.error();
        EXPECT_EQ(command->name(), "heads");
        return;
    }
    ASSERT_FALSE(command);
    EXPECT_NE(command.error().find(GetParam().error), std::string::npos) << command.error();
    EXPECT_EQ(command.error().rfind("malformed command: ", 0), 0u);
}

std::string nested(size_t depth) {
    return std::string(depth, '[') + std::string(depth, ']');
}

INSTANTIATE_TEST_SUITE_P(
    Automation, CommandLine,
    testing::Values(Line{"plain", R"({"cmd":"heads"})", ""},
                    Line{"brackets_in_strings_do_not_nest",
                         R"({"cmd":"heads","x":")" + std::string(500, '[') + "\"}", ""},
                    Line{"escaped_quote_keeps_the_string_open", R"({"cmd":"heads","x":"\"[[[[["})",
                         ""},
                    Line{"at_the_depth_limit", R"({"cmd":"heads","json":)" + nested(63) + "}", ""},
                    Line{"number_cmd", R"({"cmd":5})", "'cmd' must be a string"},
                    Line{"null_cmd", R"({"cmd":null})", "'cmd' must be a string"},
                    Line{"array_cmd", R"({"cmd":["heads"]})", "'cmd' must be a string"},
                    Line{"object_cmd", R"({"cmd":{}})", "'cmd' must be a string"},
                    Line{"missing_cmd", R"({"command":"heads"})", "'cmd' is missing"},
                    Line{"null_line", "null", "expected a JSON object"},
                    Line{"array_line", R"(["heads"])", "expected a JSON object"},
                    Line{"string_line", R"("heads")", "expected a JSON object"},
                    Line{"not_json", "heads please", "parse error"},
                    Line{"truncated", R"({"cmd":"heads")", "parse error"},
                    Line{"invalid_utf8", "{\"cmd\":\"\xc3\x28\"}", "parse error"},
                    Line{"past_the_depth_limit", R"({"cmd":"heads","json":)" + nested(64) + "}",
                         "nested deeper"},
                    Line{"hundred_thousand_deep",
                         R"({"cmd":"heads","json":)" + nested(100000) + "}", "nested deeper"},
                    Line{"deep_and_unclosed", std::string(100000, '{'), "nested deeper"}),
    [](auto const& info) { return std::string(info.param.name); });

TEST(AutomationCommand, MembersOfTheWrongTypeAreErrorsNotExceptions) {
    auto c = Command::parse(
        R"({"cmd":"frames","count":"3","n":7,"big":18446744073709551615,"neg":-1,"f":2.5,"s":"x","o":{"a":[1]}})");
    ASSERT_TRUE(c);
    EXPECT_FALSE(c->integer_or("count", 1, 0, 10));
    EXPECT_EQ(c->integer_or("n", 1, 0, 10).value(), 7);
    EXPECT_EQ(c->integer_or("absent", 1, 0, 10).value(), 1);
    EXPECT_FALSE(c->integer_or("n", 1, 0, 5));
    EXPECT_FALSE(c->integer_or("big", 1, 0, 10));
    EXPECT_FALSE(c->integer_or("neg", 1, 0, 10));
    EXPECT_FALSE(c->integer_or("f", 1, 0, 10));
    EXPECT_FALSE(c->string("n"));
    EXPECT_FALSE(c->string("absent"));
    EXPECT_EQ(c->string_or("absent", "fallback").value(), "fallback");
    EXPECT_FALSE(c->string_or("o", "fallback"));
    EXPECT_EQ(c->payload_text("s").value(), "x");
    EXPECT_EQ(c->payload_text("o").value(), R"({"a":[1]})");
    EXPECT_FALSE(c->payload_text("absent"));
}

TEST(AutomationCommand, NestingDepthStopsCountingPastItsLimit) {
    EXPECT_EQ(json_nesting_depth(R"({"a":[{"b":[]}],"c":{}})", 100), 4u);
    EXPECT_EQ(json_nesting_depth("]]]]{", 100), 1u) << "stray closers never go below zero";
    EXPECT_EQ(json_nesting_depth(nested(1000000), 64), 65u);
}

}  // namespace
