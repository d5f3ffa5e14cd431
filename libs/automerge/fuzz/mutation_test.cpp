// Without libFuzzer (no clang here) a seeded mutation loop drives the same target: seeds are
// documents, change chunks and sync messages written by the reference and by us, mutated
// with the usual byte-level edits for a bounded number of iterations and a time budget.
// FUZZ_SEED, FUZZ_ITERATIONS and FUZZ_SECONDS widen a run by hand.
#include <gtest/gtest.h>

#include <automerge/sync.hpp>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>

#include "fuzz_target.hpp"

namespace automerge::fuzz {
namespace {

using Bytes = std::vector<uint8_t>;

uint64_t env_or(char const* name, uint64_t fallback) {
    char const* v = std::getenv(name);
    return v ? std::strtoull(v, nullptr, 10) : fallback;
}

std::vector<Bytes> reference_seeds() {
    std::vector<Bytes> out;
    char const* root = std::getenv("VEMO_SOURCE_DIR");
    if (root == nullptr) return out;
    auto dir = std::filesystem::path(root) / "libs" / "automerge" / "fuzz" / "corpus";
    if (!std::filesystem::exists(dir)) return out;
    for (auto const& entry : std::filesystem::directory_iterator(dir)) {
        std::ifstream in(entry.path(), std::ios::binary);
        out.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return out;
}

std::vector<Bytes> our_seeds() {
    std::vector<Bytes> out;
    AutoCommit doc(*ActorId::from_hex("00112233445566778899aabbccddeeff"));
    auto root = ObjId::root();
    (void)doc.put(root, "n", int64_t{-3});
    (void)doc.put(root, "c", Counter{1});
    (void)doc.increment(root, "c", 4);
    auto list = doc.put_object(root, "l", ObjType::List);
    auto text = doc.put_object(root, "t", ObjType::Text);
    if (list && text) {
        (void)doc.insert(*list, 0, std::string("x"));
        (void)doc.insert(*list, 1, 2.5);
        (void)doc.splice_text(*text, 0, 0, std::string(400, 'a') + "👍🏽 e\u0301");
        (void)doc.splice_text(*text, 3, 5, "");
    }
    doc.commit("seed", 7);
    out.push_back(doc.save_incremental());
    (void)doc.put(root, "n", uint64_t{9});
    doc.commit();
    out.push_back(doc.save_incremental());
    out.push_back(doc.save());
    AutoCommit other;
    SyncState a, b;
    for (int i = 0; i < 4; ++i) {
        if (auto m = generate_sync_message(doc, a)) {
            out.push_back(*m);
            (void)receive_sync_message(other, b, *m);
        }
        if (auto m = generate_sync_message(other, b)) {
            out.push_back(*m);
            (void)receive_sync_message(doc, a, *m);
        }
    }
    out.push_back(a.encode());
    return out;
}

class Mutator {
  public:
    explicit Mutator(uint64_t seed) : m_rng(seed) {}

    Bytes mutate(Bytes input, std::vector<Bytes> const& seeds) {
        int edits = 1 + static_cast<int>(below(4));
        for (int i = 0; i < edits; ++i) edit(input, seeds);
        return input;
    }

  private:
    size_t below(size_t n) {
        return n == 0 ? 0 : std::uniform_int_distribution<size_t>(0, n - 1)(m_rng);
    }

    void edit(Bytes& b, std::vector<Bytes> const& seeds) {
        static constexpr uint8_t interesting[] = {0x00, 0x01, 0x7f, 0x80, 0xff, 0x42, 0x43, 0x85};
        switch (below(8)) {
            case 0:
                if (!b.empty()) b[below(b.size())] ^= static_cast<uint8_t>(1u << below(8));
                break;
            case 1:
                if (!b.empty()) b[below(b.size())] = interesting[below(std::size(interesting))];
                break;
            case 2:
                if (!b.empty()) b.resize(below(b.size()));
                break;
            case 3: {
                size_t at = below(b.size() + 1);
                size_t n = 1 + below(8);
                for (size_t k = 0; k < n; ++k)
                    b.insert(b.begin() + static_cast<long>(at), static_cast<uint8_t>(m_rng()));
                break;
            }
            case 4:
                if (!b.empty()) {
                    size_t at = below(b.size());
                    size_t n = std::min(b.size() - at, 1 + below(16));
                    b.erase(b.begin() + static_cast<long>(at),
                            b.begin() + static_cast<long>(at + n));
                }
                break;
            case 5:
                // A run of continuation bytes makes LEB128 lengths and counts huge.
                if (!b.empty()) {
                    size_t at = below(b.size());
                    for (size_t k = at; k < std::min(b.size(), at + 1 + below(10)); ++k)
                        b[k] = 0xff;
                }
                break;
            case 6:
                if (!b.empty()) {
                    size_t at = below(b.size());
                    size_t n = std::min(b.size() - at, 1 + below(32));
                    Bytes copy(b.begin() + static_cast<long>(at),
                               b.begin() + static_cast<long>(at + n));
                    b.insert(b.begin() + static_cast<long>(below(b.size() + 1)), copy.begin(),
                             copy.end());
                }
                break;
            default: {
                auto const& other = seeds[below(seeds.size())];
                if (other.empty()) break;
                size_t from = below(other.size());
                size_t n = std::min(other.size() - from, 1 + below(64));
                b.insert(b.begin() + static_cast<long>(below(b.size() + 1)),
                         other.begin() + static_cast<long>(from),
                         other.begin() + static_cast<long>(from + n));
                break;
            }
        }
    }

    std::mt19937_64 m_rng;
};

TEST(Fuzz, LoadAndSyncDecodingSurviveMutatedInput) {
    auto seeds = reference_seeds();
    ASSERT_FALSE(seeds.empty()) << "reference corpus missing under libs/automerge/fuzz/corpus";
    for (auto& s : our_seeds()) seeds.push_back(std::move(s));
    for (auto const& s : seeds) run_one(s);

    uint64_t const iterations = env_or("FUZZ_ITERATIONS", 200000);
    auto const budget = std::chrono::seconds(env_or("FUZZ_SECONDS", 3));
    Mutator mutator(env_or("FUZZ_SEED", 20261207));
    auto const start = std::chrono::steady_clock::now();
    uint64_t done = 0;
    for (; done < iterations; ++done) {
        if ((done & 63) == 0 && std::chrono::steady_clock::now() - start > budget) break;
        auto input = mutator.mutate(seeds[done % seeds.size()], seeds);
        run_one(input);
    }
    RecordProperty("iterations", std::to_string(done));
    std::printf("fuzz: %llu mutated inputs\n", static_cast<unsigned long long>(done));
}

}  // namespace
}  // namespace automerge::fuzz
