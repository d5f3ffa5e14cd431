// Mutated bytes against what a sync server can send us: the CBOR decoder, the repo protocol
// message reader, and the sync message a message carries, applied to a document. Every input
// must come back as a value or an error: crashes, hangs and sanitizer reports are the bugs.
// A decoded value must also encode to bytes that decode to the same value.
//
// Seeds: the files under fuzz/corpus/ plus the messages built here. FUZZ_SEED,
// FUZZ_ITERATIONS and FUZZ_SECONDS widen a run by hand; FUZZ_WRITE_CORPUS=DIR writes the
// built-in seeds there.
#include <gtest/gtest.h>

#include <automerge/automerge.hpp>
#include <automerge/sync.hpp>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>

#include "cbor.hpp"
#include "repo_client.hpp"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using vemo_ui::share::cbor::Array;
using vemo_ui::share::cbor::Map;
using vemo_ui::share::cbor::Value;

std::uint64_t env_or(char const* name, std::uint64_t fallback) {
    char const* v = std::getenv(name);
    return v ? std::strtoull(v, nullptr, 10) : fallback;
}

// A real first sync message of a small document, so that mutations reach the sync decoder.
Bytes sync_message() {
    automerge::AutoCommit doc;
    (void)doc.put(automerge::ObjId::root(), std::string("greeting"), std::string("hello"));
    doc.commit();
    automerge::SyncState state;
    return automerge::generate_sync_message(doc, state).value_or(Bytes{});
}

std::vector<Bytes> built_in_seeds() {
    namespace cbor = vemo_ui::share::cbor;
    auto doc = std::string("2aFaCw5zSVhuGWZrVvjEZmGPiy2e");
    std::vector<Value> messages = {
        Map{{"type", "peer"},
            {"senderId", "server-1"},
            {"peerMetadata", Map{{"storageId", "s"}, {"isEphemeral", false}}},
            {"selectedProtocolVersion", "1"},
            {"targetId", "vemo-1"}},
        Map{{"type", "sync"},
            {"senderId", "server-1"},
            {"targetId", "vemo-1"},
            {"documentId", doc},
            {"data", sync_message()}},
        Map{{"type", "request"}, {"documentId", doc}, {"data", Bytes{0x42, 0, 0, 1, 0}}},
        Map{{"type", "doc-unavailable"}, {"senderId", "server-1"}, {"documentId", doc}},
        Map{{"type", "error"}, {"message", "unsupported protocol version"}},
        Map{{"type", "ephemeral"},
            {"documentId", doc},
            {"count", std::uint64_t{7}},
            {"sessionId", "x"},
            {"data", Bytes{1, 2, 3}}},
        Map{{"type", "remote-heads-changed"},
            {"documentId", doc},
            {"newHeads", Map{{"s", Map{{"heads", Array{Value("abc")}}, {"timestamp", 1.5}}}}}},
        Map{{"type", "join"},
            {"senderId", "vemo-1"},
            {"supportedProtocolVersions", Array{Value("1")}},
            {"n", std::int64_t{-70000}}},
    };
    std::vector<Bytes> out;
    for (auto const& m : messages) out.push_back(cbor::encode(m));
    return out;
}

std::vector<Bytes> seeds() {
    auto out = built_in_seeds();
    char const* root = std::getenv("VEMO_SOURCE_DIR");
    if (!root) return out;
    auto dir = fs::path(root) / "platform" / "vemo_ui" / "share" / "fuzz" / "corpus";
    if (!fs::exists(dir)) return out;
    for (auto const& entry : fs::directory_iterator(dir)) {
        std::ifstream in(entry.path(), std::ios::binary);
        out.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return out;
}

// Edits that keep bytes close to CBOR: heads with huge or indefinite lengths, type swaps,
// deep nesting, and pieces of other seeds.
class CborMutator {
  public:
    explicit CborMutator(std::uint64_t seed) : m_rng(seed) {}

    Bytes mutate(Bytes input, std::vector<Bytes> const& seeds) {
        int edits = 1 + int(below(4));
        for (int i = 0; i < edits; ++i) edit(input, seeds);
        return input;
    }

  private:
    std::size_t below(std::size_t n) {
        return n == 0 ? 0 : std::uniform_int_distribution<std::size_t>(0, n - 1)(m_rng);
    }

    void insert(Bytes& b, std::size_t at, Bytes const& piece) {
        b.insert(b.begin() + long(at), piece.begin(), piece.end());
    }

    void edit(Bytes& b, std::vector<Bytes> const& seeds) {
        static Bytes const heads[] = {
            {0x5b, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff},  // huge byte string
            {0x9b, 0x7f, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff},  // huge array
            {0xbb, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00},  // huge map
            {0x7a, 0x00, 0x10, 0x00, 0x00},                          // long text
            {0x3b, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff},  // negative overflow
            {0x5f},
            {0x9f},
            {0xbf},
            {0xff},  // indefinite lengths
            {0xc2},
            {0xf9, 0x7c, 0x00},
            {0xfb},
            {0xf7},
            {0xf6},
            {0xf5},
            {0x1c},
            {0x64, 't', 'y', 'p', 'e'},
            {0x64, 'd', 'a', 't', 'a'},
            {0x63, 0xff, 0xfe, 0xfd},
        };
        std::size_t at = below(b.size() + 1);
        switch (below(7)) {
            case 0:
                insert(b, at, heads[below(std::size(heads))]);
                break;
            case 1:
                if (!b.empty()) {
                    auto from = below(b.size());
                    b.erase(b.begin() + long(from),
                            b.begin() + long(std::min(b.size(), from + 1 + below(16))));
                }
                break;
            case 2:
                if (!b.empty()) b[below(b.size())] = std::uint8_t(m_rng());
                break;
            case 3:  // nesting, sometimes deeper than the decoder allows
                insert(b, at, Bytes(1 + (below(2) ? below(40) : below(3000)), 0x81));
                break;
            case 4:
                if (!b.empty()) b[below(b.size())] ^= std::uint8_t(1u << below(8));
                break;
            case 5:
                b.resize(below(b.size() + 1));
                break;
            default: {
                auto const& other = seeds[below(seeds.size())];
                if (!other.empty()) {
                    auto from = below(other.size());
                    auto n = std::min(other.size() - from, 1 + below(96));
                    insert(b, at,
                           Bytes(other.begin() + long(from), other.begin() + long(from + n)));
                }
                break;
            }
        }
    }

    std::mt19937_64 m_rng;
};

void exercise(Bytes const& input) {
    namespace cbor = vemo_ui::share::cbor;
    if (auto value = cbor::decode(input)) {
        auto encoded = cbor::encode(*value);
        auto again = cbor::decode(encoded);
        ASSERT_TRUE(again) << again.error();
        EXPECT_EQ(cbor::encode(*again), encoded);
    }
    auto message = vemo_ui::share::detail::read_server_message(input);
    if (!message) {
        EXPECT_FALSE(message.error().empty());
        return;
    }
    if (message->data.empty()) return;
    // What the client hands on to the document: a bad sync message is an error, and the
    // document stays usable.
    automerge::AutoCommit doc;
    automerge::SyncState state;
    (void)automerge::receive_sync_message(doc, state, message->data);
    (void)automerge::generate_sync_message(doc, state);
    (void)doc.save();
}

TEST(ServerMessageFuzz, MutatedServerMessagesAreValuesOrErrors) {
    auto corpus = seeds();
    if (char const* dir = std::getenv("FUZZ_WRITE_CORPUS")) {
        auto seeds = built_in_seeds();
        for (std::size_t i = 0; i < seeds.size(); ++i)
            std::ofstream(fs::path(dir) / ("seed_" + std::to_string(i) + ".cbor"), std::ios::binary)
                .write(reinterpret_cast<char const*>(seeds[i].data()), long(seeds[i].size()));
    }
    std::uint64_t const iterations = env_or("FUZZ_ITERATIONS", 200000);
    auto const budget = std::chrono::seconds(env_or("FUZZ_SECONDS", 4));
    CborMutator mutator(env_or("FUZZ_SEED", 20261207));
    auto const start = std::chrono::steady_clock::now();
    std::uint64_t done = 0;
    for (; done < iterations; ++done) {
        if ((done & 31) == 0 && std::chrono::steady_clock::now() - start > budget) break;
        auto input = done < corpus.size() ? corpus[done]
                                          : mutator.mutate(corpus[done % corpus.size()], corpus);
        exercise(input);
        if (testing::Test::HasFailure()) {
            ADD_FAILURE() << "input " << done << " of seed " << env_or("FUZZ_SEED", 20261207);
            break;
        }
    }
    RecordProperty("inputs", std::to_string(done));
    std::cout << done << " inputs\n";
}

}  // namespace
