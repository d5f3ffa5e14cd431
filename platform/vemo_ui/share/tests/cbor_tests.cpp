#include <gtest/gtest.h>

#include "cbor.hpp"

using namespace vemo_ui::share;

namespace {

std::vector<std::uint8_t> from_hex(std::string_view hex) {
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(std::uint8_t(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    return out;
}

}  // namespace

// Bytes as the sync server's CBOR library writes them (two-byte map lengths included).
TEST(Cbor, ReadsWhatTheServerLibraryWrites) {
    auto bytes = from_hex(
        "b900066474797065646a6f696e6873656e6465724964636162636c706565724d65746164617461b900016b6973"
        "457068656d6572616c"
        "f47819737570706f7274656450726f746f636f6c56657273696f6e7381613164646174614301020365636f756e"
        "7405");
    auto v = cbor::decode(bytes);
    ASSERT_TRUE(v) << v.error();
    EXPECT_EQ(*v->find("type")->text(), "join");
    EXPECT_EQ(*v->find("senderId")->text(), "abc");
    EXPECT_EQ(*v->find("data")->bytes(), (cbor::Bytes{1, 2, 3}));
    EXPECT_EQ(std::get<std::uint64_t>(v->find("count")->v), 5u);
    EXPECT_EQ(std::get<bool>(v->find("peerMetadata")->find("isEphemeral")->v), false);
}

TEST(Cbor, EncodingRoundTrips) {
    cbor::Value value(
        cbor::Map{{"type", "sync"},
                  {"n", std::int64_t{-300}},
                  {"big", std::uint64_t{1} << 40},
                  {"data", cbor::Bytes(70000, 7)},
                  {"list", cbor::Array{cbor::Value("1"), cbor::Value(nullptr), cbor::Value(2.5)}}});
    auto back = cbor::decode(cbor::encode(value));
    ASSERT_TRUE(back) << back.error();
    EXPECT_EQ(cbor::encode(*back), cbor::encode(value));
}

TEST(Cbor, HostileBytesAreErrors) {
    for (auto hex : {
             "",                                            // nothing
             "a1",                                          // map without its entry
             "5a7fffffff00",                                // byte string longer than the input
             "9bffffffffffffffff",                          // array count beyond the input
             "bf",                                          // indefinite length
             "6161ff",                                      // trailing bytes
             "3bffffffffffffffff",                          // negative integer out of range
             "818181818181818181818181818181818181818100",  // nested too deeply
         }) {
        EXPECT_FALSE(cbor::decode(from_hex(hex))) << hex;
    }
}
