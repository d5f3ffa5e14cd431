#include <gtest/gtest.h>

#include "vemo_actions/registry.hpp"

namespace {

using namespace vemo_actions;

class Named final : public TypedAction {
  public:
    explicit Named(std::string name) : m_name(std::move(name)) {}
    std::string debug_text() const override { return "Named(" + m_name + ")"; }
    std::expected<void, ActionError> apply(automerge::AutoCommit&, ApplyContext&) override {
        return {};
    }

  private:
    std::string m_name;
};

ActionRegistry::Decoder decoder_for(std::string marker) {
    return [marker](
               std::string_view json) -> std::expected<std::unique_ptr<TypedAction>, ActionError> {
        if (json == "\"throw\"") throw std::runtime_error("decoder threw");
        if (json == "\"null\"") return std::unique_ptr<TypedAction>();
        if (json == "\"reject\"")
            return std::unexpected(ActionError{ActionError::Code::Malformed, "unknown variant"});
        return std::make_unique<Named>(marker + std::string(json));
    };
}

TEST(Registry, RegistersEachKindOnce) {
    ActionRegistry registry;
    EXPECT_TRUE(registry.register_kind("chat.action", decoder_for("a")));
    EXPECT_TRUE(registry.register_kind("chat.operation", decoder_for("o")));
    auto again = registry.register_kind("chat.action", decoder_for("b"));
    ASSERT_FALSE(again);
    EXPECT_EQ(again.error().code, ActionError::Code::Rejected);
    EXPECT_FALSE(registry.register_kind("", decoder_for("x")));
    EXPECT_FALSE(registry.register_kind("chat.empty", nullptr));
    EXPECT_EQ(registry.kinds(), (std::vector<std::string>{"chat.action", "chat.operation"}));
    EXPECT_EQ((*registry.decode({"chat.action", "1", {}}))->debug_text(), "Named(a1)")
        << "the first decoder stays";
}

struct DecodeCase {
    char const* name;
    EncodedAction encoded;
    std::optional<ActionError::Code> error;
};

class RegistryDecodeTest : public testing::TestWithParam<DecodeCase> {};

TEST_P(RegistryDecodeTest, ReportsEveryFailureAsAValue) {
    ActionRegistry registry;
    ASSERT_TRUE(registry.register_kind("chat.action", decoder_for("a")));
    auto decoded = registry.decode(GetParam().encoded);
    if (!GetParam().error) {
        ASSERT_TRUE(decoded) << decoded.error().message;
        return;
    }
    ASSERT_FALSE(decoded);
    EXPECT_EQ(decoded.error().code, *GetParam().error);
    EXPECT_FALSE(decoded.error().display().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RegistryDecodeTest,
    testing::Values(
        DecodeCase{"ok", {"chat.action", R"({"MarkRead":{}})", {}}, std::nullopt},
        DecodeCase{"unknown_kind", {"chat.other", "{}", {}}, ActionError::Code::UnknownKind},
        DecodeCase{"not_json", {"chat.action", "{\"a\":", {}}, ActionError::Code::Malformed},
        DecodeCase{"trailing_garbage", {"chat.action", "{} {}", {}}, ActionError::Code::Malformed},
        DecodeCase{"too_deep",
                   {"chat.action", std::string(100000, '['), {}},
                   ActionError::Code::Malformed},
        DecodeCase{"too_large",
                   {"chat.action", "\"" + std::string(max_payload_bytes, 'x') + "\"", {}},
                   ActionError::Code::Malformed},
        DecodeCase{
            "decoder_throws", {"chat.action", "\"throw\"", {}}, ActionError::Code::Malformed},
        DecodeCase{
            "decoder_gives_null", {"chat.action", "\"null\"", {}}, ActionError::Code::Malformed},
        DecodeCase{
            "decoder_rejects", {"chat.action", "\"reject\"", {}}, ActionError::Code::Malformed}),
    [](auto const& info) { return std::string(info.param.name); });

TEST(CheckPayload, AcceptsDepthUpToTheLimit) {
    std::string deep(max_payload_depth, '[');
    deep += std::string(max_payload_depth, ']');
    EXPECT_FALSE(check_payload(deep));
    EXPECT_TRUE(check_payload("[" + deep + "]"));
    EXPECT_TRUE(check_payload(""));
    EXPECT_TRUE(check_payload("\"\xFF\""));
}

}  // namespace
