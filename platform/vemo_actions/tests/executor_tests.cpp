#include <gtest/gtest.h>

#include <automerge/automerge.hpp>
#include <nlohmann/json.hpp>

#include "vemo_actions/executor.hpp"

namespace {

using namespace vemo_actions;
using automerge::ObjId;

// A small real action: puts one string under "title" at the root; refuses empty titles
// before writing anything.
class SetTitle final : public TypedAction {
  public:
    explicit SetTitle(std::string title) : m_title(std::move(title)) {}
    std::string debug_text() const override { return "SetTitle(" + m_title + ")"; }
    std::expected<void, ActionError> apply(automerge::AutoCommit& document,
                                           ApplyContext& context) override {
        if (m_title == "explode") throw std::runtime_error("kaboom");
        if (m_title.empty())
            return std::unexpected(ActionError{ActionError::Code::Rejected, "title is empty"});
        seen_actor.assign(context.actor.begin(), context.actor.end());
        seen_title = context.context ? context.context->title : "";
        if (!document.put(ObjId::root(), std::string("title"), m_title))
            return std::unexpected(ActionError{ActionError::Code::Failed, "write failed"});
        return {};
    }
    EncodedAction encode() const {
        return {"test.title", nlohmann::json{{"title", m_title}}.dump(), {}};
    }

    std::vector<uint8_t> seen_actor;
    std::string seen_title;

  private:
    std::string m_title;
};

ActionRegistry title_registry() {
    ActionRegistry registry;
    auto added = registry.register_kind(
        "test.title",
        [](std::string_view json) -> std::expected<std::unique_ptr<TypedAction>, ActionError> {
            auto parsed = nlohmann::json::parse(json);
            return std::make_unique<SetTitle>(parsed.at("title").get<std::string>());
        });
    EXPECT_TRUE(added);
    return registry;
}

std::optional<std::string> title(automerge::AutoCommit& document) {
    auto got = document.get(ObjId::root(), std::string("title"));
    if (!got || !*got) return std::nullopt;
    auto const* scalar = std::get_if<automerge::ScalarValue>(&(*got)->first);
    if (!scalar) return std::nullopt;
    auto const* text = std::get_if<std::string>(scalar);
    return text ? std::optional(*text) : std::nullopt;
}

class ExecutorTest : public testing::Test {
  protected:
    automerge::AutoCommit m_document;
    std::vector<executor::DispatchRecord> m_records;
    std::vector<uint8_t> m_actor{0xAB, 0xCD, 0x01};
    ActionRegistry m_registry = title_registry();
};

TEST_F(ExecutorTest, AppliesAndRecordsTheAction) {
    SetTitle action("Launch plan");
    ASSERT_TRUE(executor::dispatch_by(m_document, action, action.encode(), m_records, m_actor,
                                      &m_registry));
    EXPECT_EQ(title(m_document), "Launch plan");
    EXPECT_EQ(action.seen_actor, m_actor);
    ASSERT_EQ(m_records.size(), 1u);
    EXPECT_EQ(m_records[0].action, action.encode());
    EXPECT_EQ(m_records[0].debug_text, "SetTitle(Launch plan)");
    EXPECT_EQ(m_records[0].actor, m_actor);
    EXPECT_FALSE(m_records[0].context);
    EXPECT_FALSE(m_records[0].error);
}

TEST_F(ExecutorTest, PassesAndRecordsTheContext) {
    SetTitle action("Q3");
    ActionContext context{.app_id = "org.vemo.Chat", .app_name = "Chat", .title = "Rename"};
    ASSERT_TRUE(executor::dispatch_by_with_context(m_document, action, action.encode(), m_records,
                                                   m_actor, context));
    EXPECT_EQ(action.seen_title, "Rename");
    ASSERT_EQ(m_records.size(), 1u);
    EXPECT_EQ(m_records[0].context, context);
}

struct RefusalCase {
    char const* name;
    std::string title;                     // what the typed action writes
    std::optional<EncodedAction> encoded;  // what travels; none = the action's own encoding
    bool with_registry;
    ActionError::Code code;
};

class ExecutorRefusalTest : public ExecutorTest, public testing::WithParamInterface<RefusalCase> {};

TEST_P(ExecutorRefusalTest, WritesNothingAndReportsTheError) {
    auto const& c = GetParam();
    SetTitle action(c.title);
    auto result =
        executor::dispatch_by(m_document, action, c.encoded.value_or(action.encode()), m_records,
                              m_actor, c.with_registry ? &m_registry : nullptr);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().code, c.code) << result.error().display();
    EXPECT_FALSE(title(m_document));
    ASSERT_EQ(m_records.size(), 1u) << "a refused dispatch is still recorded";
    EXPECT_EQ(m_records[0].error, result.error());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ExecutorRefusalTest,
    testing::Values(
        RefusalCase{"malformed_json", "A", EncodedAction{"test.title", "{\"title\":", {}}, false,
                    ActionError::Code::Malformed},
        RefusalCase{"no_kind", "A", EncodedAction{"", "{}", {}}, false,
                    ActionError::Code::Malformed},
        RefusalCase{"unknown_kind", "A", EncodedAction{"test.other", "{}", {}}, true,
                    ActionError::Code::UnknownKind},
        RefusalCase{"undecodable", "A", EncodedAction{"test.title", "{\"name\":1}", {}}, true,
                    ActionError::Code::Malformed},
        RefusalCase{"encoded_differs", "A", EncodedAction{"test.title", "{\"title\":\"B\"}", {}},
                    true, ActionError::Code::Mismatch},
        RefusalCase{"apply_rejects", "", std::nullopt, true, ActionError::Code::Rejected},
        RefusalCase{"apply_throws", "explode", std::nullopt, false, ActionError::Code::Failed}),
    [](auto const& info) { return std::string(info.param.name); });

TEST_F(ExecutorTest, DispatchesActionsThatArriveEncoded) {
    ActionContext context{.title = "From automation"};
    ASSERT_TRUE(executor::dispatch_encoded(m_document, m_registry, SetTitle("first").encode(),
                                           m_records, m_actor));
    ASSERT_TRUE(executor::dispatch_encoded(m_document, m_registry, SetTitle("second").encode(),
                                           m_records, m_actor, context));
    auto unknown =
        executor::dispatch_encoded(m_document, m_registry, {"nope", "{}", {}}, m_records, m_actor);
    ASSERT_FALSE(unknown);
    EXPECT_EQ(title(m_document), "second");
    ASSERT_EQ(m_records.size(), 3u);
    EXPECT_EQ(m_records[0].debug_text, "SetTitle(first)");
    EXPECT_EQ(m_records[1].context->title, "From automation");
    EXPECT_EQ(m_records[2].error->code, ActionError::Code::UnknownKind);
}

}  // namespace
