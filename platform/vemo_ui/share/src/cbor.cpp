#include "cbor.hpp"

#include <bit>
#include <cmath>
#include <cstring>

namespace vemo_ui::share::cbor {

namespace {

constexpr int max_depth = 16;

void head(std::vector<std::uint8_t>& out, std::uint8_t major, std::uint64_t n) {
    major <<= 5;
    if (n < 24) {
        out.push_back(std::uint8_t(major | n));
    } else if (n <= 0xff) {
        out.push_back(major | 24);
        out.push_back(std::uint8_t(n));
    } else if (n <= 0xffff) {
        out.push_back(major | 25);
        for (int s = 8; s >= 0; s -= 8) out.push_back(std::uint8_t(n >> s));
    } else if (n <= 0xffffffffu) {
        out.push_back(major | 26);
        for (int s = 24; s >= 0; s -= 8) out.push_back(std::uint8_t(n >> s));
    } else {
        out.push_back(major | 27);
        for (int s = 56; s >= 0; s -= 8) out.push_back(std::uint8_t(n >> s));
    }
}

void encode_into(std::vector<std::uint8_t>& out, Value const& value) {
    std::visit(
        [&](auto const& x) {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<T, std::nullptr_t>) {
                out.push_back(0xf6);
            } else if constexpr (std::is_same_v<T, bool>) {
                out.push_back(x ? 0xf5 : 0xf4);
            } else if constexpr (std::is_same_v<T, std::int64_t>) {
                if (x >= 0)
                    head(out, 0, std::uint64_t(x));
                else
                    head(out, 1, std::uint64_t(-(x + 1)));
            } else if constexpr (std::is_same_v<T, std::uint64_t>) {
                head(out, 0, x);
            } else if constexpr (std::is_same_v<T, double>) {
                out.push_back(0xfb);
                auto bits = std::bit_cast<std::uint64_t>(x);
                for (int s = 56; s >= 0; s -= 8) out.push_back(std::uint8_t(bits >> s));
            } else if constexpr (std::is_same_v<T, std::string>) {
                head(out, 3, x.size());
                out.insert(out.end(), x.begin(), x.end());
            } else if constexpr (std::is_same_v<T, Bytes>) {
                head(out, 2, x.size());
                out.insert(out.end(), x.begin(), x.end());
            } else if constexpr (std::is_same_v<T, Array>) {
                head(out, 4, x.size());
                for (auto const& e : x) encode_into(out, e);
            } else {
                head(out, 5, x.size());
                for (auto const& [k, e] : x) {
                    encode_into(out, k);
                    encode_into(out, e);
                }
            }
        },
        value.v);
}

struct Reader {
    std::span<std::uint8_t const> in;
    std::size_t pos = 0;

    std::expected<std::uint64_t, std::string> number(std::uint8_t info) {
        if (info < 24) return info;
        int len = info == 24 ? 1 : info == 25 ? 2 : info == 26 ? 4 : info == 27 ? 8 : 0;
        if (len == 0) return std::unexpected(std::string("indefinite or reserved length"));
        if (in.size() - pos < std::size_t(len)) return std::unexpected(std::string("truncated"));
        std::uint64_t n = 0;
        for (int i = 0; i < len; ++i) n = n << 8 | in[pos++];
        return n;
    }

    std::expected<Value, std::string> value(int depth) {
        if (depth > max_depth) return std::unexpected(std::string("nested too deeply"));
        if (pos >= in.size()) return std::unexpected(std::string("truncated"));
        auto initial = in[pos++];
        std::uint8_t major = initial >> 5, info = initial & 31;
        if (major == 7) return simple(info);
        auto n = number(info);
        if (!n) return std::unexpected(n.error());
        switch (major) {
            case 0:
                return Value(*n);
            case 1:
                if (*n > std::uint64_t(INT64_MAX))
                    return std::unexpected(std::string("integer out of range"));
                return Value(std::int64_t(-1 - std::int64_t(*n)));
            case 2:
            case 3: {
                if (*n > in.size() - pos) return std::unexpected(std::string("truncated string"));
                auto begin = in.begin() + std::ptrdiff_t(pos);
                pos += *n;
                if (major == 2) return Value(Bytes(begin, begin + std::ptrdiff_t(*n)));
                return Value(std::string(begin, begin + std::ptrdiff_t(*n)));
            }
            case 4: {
                // Every element takes at least a byte: a count beyond the input is a lie.
                if (*n > in.size() - pos) return std::unexpected(std::string("truncated array"));
                Array out;
                out.reserve(*n);
                for (std::uint64_t i = 0; i < *n; ++i) {
                    auto e = value(depth + 1);
                    if (!e) return e;
                    out.push_back(std::move(*e));
                }
                return Value(std::move(out));
            }
            case 5: {
                if (*n > (in.size() - pos) / 2)
                    return std::unexpected(std::string("truncated map"));
                Map out;
                out.reserve(*n);
                for (std::uint64_t i = 0; i < *n; ++i) {
                    auto k = value(depth + 1);
                    if (!k) return k;
                    auto e = value(depth + 1);
                    if (!e) return e;
                    out.emplace_back(std::move(*k), std::move(*e));
                }
                return Value(std::move(out));
            }
            case 6:
                return value(depth + 1);  // a tag: its content stands for it
        }
        return std::unexpected(std::string("unknown major type"));
    }

    std::expected<Value, std::string> simple(std::uint8_t info) {
        switch (info) {
            case 20:
                return Value(false);
            case 21:
                return Value(true);
            case 22:
            case 23:
                return Value(nullptr);
            case 25: {
                if (in.size() - pos < 2) return std::unexpected(std::string("truncated"));
                std::uint16_t h = std::uint16_t(in[pos] << 8 | in[pos + 1]);
                pos += 2;
                int exp = (h >> 10) & 0x1f, mant = h & 0x3ff;
                double v = exp == 0    ? std::ldexp(mant, -24)
                           : exp == 31 ? (mant ? NAN : INFINITY)
                                       : std::ldexp(mant + 1024, exp - 25);
                return Value((h & 0x8000) ? -v : v);
            }
            case 26: {
                auto n = number(26);
                if (!n) return std::unexpected(n.error());
                return Value(double(std::bit_cast<float>(std::uint32_t(*n))));
            }
            case 27: {
                auto n = number(27);
                if (!n) return std::unexpected(n.error());
                return Value(std::bit_cast<double>(*n));
            }
        }
        return std::unexpected(std::string("unsupported simple value"));
    }
};

}  // namespace

Value const* Value::find(std::string_view key) const {
    auto const* map = std::get_if<Map>(&v);
    if (!map) return nullptr;
    for (auto const& [k, e] : *map)
        if (auto const* s = k.text(); s && *s == key) return &e;
    return nullptr;
}

std::vector<std::uint8_t> encode(Value const& value) {
    std::vector<std::uint8_t> out;
    encode_into(out, value);
    return out;
}

std::expected<Value, std::string> decode(std::span<std::uint8_t const> bytes) {
    Reader r{bytes};
    auto v = r.value(0);
    if (!v) return v;
    if (r.pos != bytes.size()) return std::unexpected(std::string("bytes after the value"));
    return v;
}

}  // namespace vemo_ui::share::cbor
