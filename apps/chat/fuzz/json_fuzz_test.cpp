// Mutated JSON against the parsers that take it from outside the process. Each input must
// come back as a value or an error: crashes, hangs and sanitizer reports are the bugs. A
// decoded action or operation must also survive its own encoding unchanged, and applying a
// decoded action must leave a document that saves and loads.
//
// Seeds: the files under corpus/ plus every action and operation variant encoded here.
// FUZZ_SEED, FUZZ_ITERATIONS and FUZZ_SECONDS widen a run by hand; FUZZ_WRITE_CORPUS=DIR
// writes the built-in seeds there.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>

#include "actions/apply.hpp"
#include "actions/chat_action.hpp"
#include "doc/seeds.hpp"
#include "vemo_ui/automation_command.hpp"

namespace {

namespace fs = std::filesystem;

uint64_t env_or(char const* name, uint64_t fallback) {
    char const* v = std::getenv(name);
    return v ? std::strtoull(v, nullptr, 10) : fallback;
}

template <typename Variant, size_t... I>
std::vector<std::string> encode_each(std::index_sequence<I...>) {
    return {chat::encode(Variant(std::variant_alternative_t<I, Variant>{}))...};
}

std::vector<std::string> built_in_seeds() {
    auto out = encode_each<chat::ChatAction>(
        std::make_index_sequence<std::variant_size_v<chat::ChatAction>>());
    for (auto& op : encode_each<chat::ChatOperation>(
             std::make_index_sequence<std::variant_size_v<chat::ChatOperation>>()))
        out.push_back(std::move(op));
    size_t variants = out.size();
    for (size_t i = 0; i < variants; ++i)
        out.push_back(R"({"cmd":"dispatch","kind":"chat.action","json":)" + out[i] + "}");
    out.push_back(
        R"({"cmd":"invoke","address":"chat.channel:c_general","action":"post","value":"hi"})");
    out.push_back(R"({"cmd":"frames","count":3})");
    return out;
}

std::vector<std::string> seeds() {
    auto out = built_in_seeds();
    char const* root = std::getenv("VEMO_SOURCE_DIR");
    if (!root) return out;
    auto dir = fs::path(root) / "apps" / "chat" / "fuzz" / "corpus";
    if (!fs::exists(dir)) return out;
    for (auto const& entry : fs::directory_iterator(dir)) {
        std::ifstream in(entry.path(), std::ios::binary);
        out.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return out;
}

// Edits that keep text close to JSON: structural tokens, boundary numbers, escapes, type
// swaps, nesting, and pieces of other seeds.
class JsonMutator {
  public:
    explicit JsonMutator(uint64_t seed) : m_rng(seed) {}

    std::string mutate(std::string input, std::vector<std::string> const& seeds) {
        int edits = 1 + int(below(4));
        for (int i = 0; i < edits; ++i) edit(input, seeds);
        return input;
    }

  private:
    size_t below(size_t n) {
        return n == 0 ? 0 : std::uniform_int_distribution<size_t>(0, n - 1)(m_rng);
    }

    void edit(std::string& s, std::vector<std::string> const& seeds) {
        static constexpr char const* tokens[] = {"{",
                                                 "}",
                                                 "[",
                                                 "]",
                                                 ",",
                                                 ":",
                                                 "\"",
                                                 "null",
                                                 "true",
                                                 "false",
                                                 "0",
                                                 "-1",
                                                 "1e999",
                                                 "-0.0",
                                                 "18446744073709551616",
                                                 "-9223372036854775809",
                                                 "\\u0000",
                                                 "\\ud800",
                                                 "\\\"",
                                                 "\xff",
                                                 "\xc3\x28",
                                                 "{}",
                                                 "[]",
                                                 "\"\"",
                                                 "\"cmd\"",
                                                 "\"json\"",
                                                 "\"value\"",
                                                 "\"count\"",
                                                 "\"text\"",
                                                 "\"id\""};
        size_t at = below(s.size() + 1);
        switch (below(7)) {
            case 0:
                s.insert(at, tokens[below(std::size(tokens))]);
                break;
            case 1:
                if (!s.empty()) s.erase(below(s.size()), 1 + below(16));
                break;
            case 2:
                if (!s.empty()) s[below(s.size())] = char(m_rng());
                break;
            case 3: {  // a value wrapped in deep nesting
                size_t depth = below(2) ? 1 + below(80) : 1 + below(4000);
                s.insert(at, std::string(depth, '[') + "1" + std::string(depth, ']'));
                break;
            }
            case 4: {  // a long string
                s.insert(at, "\"" + std::string(1 + below(70000), 'a' + char(below(26))) + "\"");
                break;
            }
            case 5:
                if (!s.empty()) {
                    size_t from = below(s.size());
                    s.insert(at, s.substr(from, 1 + below(64)));
                }
                break;
            default: {
                auto const& other = seeds[below(seeds.size())];
                if (!other.empty()) s.insert(at, other.substr(below(other.size()), 1 + below(96)));
                break;
            }
        }
    }

    std::mt19937_64 m_rng;
};

void exercise_line(std::string const& line) {
    auto command = vemo_ui::automation::Command::parse(line);
    if (!command) {
        EXPECT_FALSE(command.error().empty());
        return;
    }
    EXPECT_LE(vemo_ui::automation::json_nesting_depth(line, 1000),
              vemo_ui::automation::max_command_depth);
    for (auto const& [key, value] : command->json().items()) {
        (void)command->string(key);
        (void)command->string_or(key, "x");
        (void)command->integer_or(key, 0, -5, 10000);
        (void)command->payload_text(key);
    }
}

void exercise_action(std::string const& text, automerge::AutoCommit& doc) {
    auto action = chat::decode_chat_action(text);
    if (!action) return;
    auto again = chat::decode_chat_action(chat::encode(*action));
    ASSERT_TRUE(again) << again.error() << " for " << chat::encode(*action);
    EXPECT_TRUE(*again == *action) << chat::encode(*action);
    (void)chat::apply_action(doc, *action);
}

void exercise_operation(std::string const& text) {
    auto op = chat::decode_chat_operation(text);
    if (!op) return;
    auto again = chat::decode_chat_operation(chat::encode(*op));
    ASSERT_TRUE(again) << again.error();
    EXPECT_TRUE(*again == *op) << chat::encode(*op);
}

TEST(JsonFuzz, AutomationLinesActionsAndOperationsSurviveMutatedInput) {
    auto corpus = seeds();
    if (char const* dir = std::getenv("FUZZ_WRITE_CORPUS")) {
        auto seeds = built_in_seeds();
        for (size_t i = 0; i < seeds.size(); ++i)
            std::ofstream(fs::path(dir) / ("seed_" + std::to_string(i) + ".json")) << seeds[i];
    }
    automerge::AutoCommit doc;
    ASSERT_TRUE(chat::doc::demo_seed(doc));
    doc.commit();

    uint64_t const iterations = env_or("FUZZ_ITERATIONS", 100000);
    auto const budget = std::chrono::seconds(env_or("FUZZ_SECONDS", 4));
    JsonMutator mutator(env_or("FUZZ_SEED", 20261207));
    auto const start = std::chrono::steady_clock::now();
    uint64_t done = 0;
    for (; done < iterations; ++done) {
        if ((done & 31) == 0 && std::chrono::steady_clock::now() - start > budget) break;
        auto input = done < corpus.size() ? corpus[done]
                                          : mutator.mutate(corpus[done % corpus.size()], corpus);
        exercise_line(input);
        exercise_action(input, doc);
        exercise_operation(input);
        if (testing::Test::HasFailure()) break;
    }
    // Whatever was applied, the document still saves and loads.
    auto loaded = automerge::AutoCommit::load(doc.save());
    EXPECT_TRUE(loaded) << (loaded ? "" : loaded.error().message);
    std::printf("fuzz: %llu inputs\n", static_cast<unsigned long long>(done));
}

}  // namespace
