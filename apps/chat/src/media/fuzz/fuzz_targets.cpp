// Fuzz targets for what a peer controls on a media stream. Crashes, hangs, sanitizer
// reports and a broken round trip (reported by abort) are the findings.
#include "fuzz_targets.hpp"

#include <algorithm>
#include <cstdlib>

#include "media/media_frame.hpp"

namespace chat::media::fuzz {

namespace {

void check_round_trip(MediaFrame const& frame, std::span<std::uint8_t const> bytes) {
    auto encoded = encode_frame(frame);
    if (!encoded || !std::equal(encoded->begin(), encoded->end(), bytes.begin(), bytes.end()))
        std::abort();
}

}  // namespace

void decode_frame_input(std::span<std::uint8_t const> input) {
    if (auto frame = decode_frame(input)) check_round_trip(*frame, input);
}

void stream_input(std::span<std::uint8_t const> input) {
    FrameReader reader;
    while (input.size() >= reader.next_read()) {
        auto piece = input.first(reader.next_read());
        input = input.subspan(piece.size());
        auto taken = reader.take(piece);
        if (!taken) return;
        if (*taken) check_round_trip(**taken, piece);
    }
}

}  // namespace chat::media::fuzz
