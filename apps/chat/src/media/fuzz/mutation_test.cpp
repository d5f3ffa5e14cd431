// Drives the media fuzz targets without libFuzzer: the seed corpus in the repository,
// mutated with byte-level edits for a few seconds per target. FUZZ_SEED, FUZZ_ITERATIONS
// and FUZZ_SECONDS widen a run by hand.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>

#include "fuzz_targets.hpp"

namespace chat::media::fuzz {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::uint64_t setting(char const* name, std::uint64_t fallback) {
    char const* value = std::getenv(name);
    return value ? std::strtoull(value, nullptr, 10) : fallback;
}

std::vector<Bytes> corpus(std::string const& name) {
    std::vector<Bytes> out;
    char const* root = std::getenv("VEMO_SOURCE_DIR");
    if (root == nullptr) return out;
    auto dir = std::filesystem::path(root) / "apps/chat/src/media/fuzz/corpus" / name;
    if (!std::filesystem::is_directory(dir)) return out;
    for (auto const& entry : std::filesystem::directory_iterator(dir)) {
        std::ifstream in(entry.path(), std::ios::binary);
        out.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return out;
}

// Edits aimed at length-prefixed binary layouts: lengths become huge, zero or off by
// one; pieces are cut, repeated or taken from other seeds.
Bytes mutate(Bytes input, std::vector<Bytes> const& seeds, std::mt19937_64& rng) {
    auto pick = [&](std::size_t n) { return n == 0 ? 0 : static_cast<std::size_t>(rng() % n); };
    for (int edits = 1 + static_cast<int>(pick(3)); edits > 0; --edits) {
        std::size_t at = pick(input.size());
        switch (pick(6)) {
            case 0:
                if (!input.empty()) input[at] ^= static_cast<std::uint8_t>(1u << pick(8));
                break;
            case 1:
                if (!input.empty())
                    input[at] = std::array<std::uint8_t, 5>{0, 1, 0x7f, 0x80, 0xff}[pick(5)];
                break;
            case 2:
                input.resize(pick(input.size() + 1));
                break;
            case 3:
                input.insert(input.begin() + static_cast<long>(pick(input.size() + 1)),
                             1 + pick(16), static_cast<std::uint8_t>(rng()));
                break;
            case 4:
                if (!input.empty()) {
                    std::size_t n = std::min(input.size() - at, 1 + pick(64));
                    Bytes piece(input.begin() + static_cast<long>(at),
                                input.begin() + static_cast<long>(at + n));
                    input.insert(input.begin() + static_cast<long>(pick(input.size() + 1)),
                                 piece.begin(), piece.end());
                }
                break;
            default: {
                auto const& other = seeds[pick(seeds.size())];
                std::size_t from = pick(other.size());
                std::size_t n = std::min(other.size() - from, pick(128));
                input.insert(input.begin() + static_cast<long>(pick(input.size() + 1)),
                             other.begin() + static_cast<long>(from),
                             other.begin() + static_cast<long>(from + n));
            }
        }
    }
    return input;
}

struct Target {
    char const* name;
    std::function<void(std::span<std::uint8_t const>)> run;
};

class MediaFuzz : public ::testing::TestWithParam<Target> {};

TEST_P(MediaFuzz, SurvivesMutatedInput) {
    auto seeds = corpus(GetParam().name);
    ASSERT_FALSE(seeds.empty()) << "seed corpus missing for " << GetParam().name;
    for (auto const& seed : seeds) GetParam().run(seed);

    auto iterations = setting("FUZZ_ITERATIONS", 1'000'000);
    auto budget = std::chrono::seconds(setting("FUZZ_SECONDS", 2));
    std::mt19937_64 rng(setting("FUZZ_SEED", 20261207));
    auto start = std::chrono::steady_clock::now();
    std::uint64_t done = 0;
    for (; done < iterations; ++done) {
        if ((done & 255) == 0 && std::chrono::steady_clock::now() - start > budget) break;
        GetParam().run(mutate(seeds[done % seeds.size()], seeds, rng));
    }
    RecordProperty("iterations", std::to_string(done));
}

INSTANTIATE_TEST_SUITE_P(Targets, MediaFuzz,
                         ::testing::Values(Target{"frame", decode_frame_input},
                                           Target{"stream", stream_input}),
                         [](auto const& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace chat::media::fuzz
