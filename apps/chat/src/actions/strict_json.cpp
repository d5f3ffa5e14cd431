#include "actions/strict_json.hpp"

// GCC 12 takes moves of the recursive Value variant for reads of members the active
// alternative does not have; the variant is always initialised (null by default).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wstringop-overflow"
#endif

#include <nlohmann/json.hpp>

namespace chat::json {

namespace {

constexpr size_t max_depth = 128;

// Builds Values from nlohmann's SAX events. Objects keep every member, duplicates included.
class Builder : public nlohmann::json_sax<nlohmann::json> {
public:
    Value result;
    std::string error;

    bool null() override { return add(Value{nullptr}); }
    bool boolean(bool b) override { return add(Value{b}); }
    bool number_integer(number_integer_t n) override { return add(Value{int64_t(n)}); }
    bool number_unsigned(number_unsigned_t n) override
    {
        if (n <= uint64_t(INT64_MAX)) return add(Value{int64_t(n)});
        return add(Value{uint64_t(n)});
    }
    bool number_float(number_float_t f, string_t const&) override { return add(Value{double(f)}); }
    bool string(string_t& s) override { return add(Value{std::move(s)}); }
    bool binary(binary_t&) override { return fail("binary values are not JSON"); }
    bool start_object(std::size_t) override { return open(Value{Object{}}); }
    bool key(string_t& k) override
    {
        m_keys.push_back(std::move(k));
        return true;
    }
    bool end_object() override { return close(); }
    bool start_array(std::size_t) override { return open(Value{Array{}}); }
    bool end_array() override { return close(); }
    bool parse_error(std::size_t position, std::string const&,
                     nlohmann::detail::exception const& ex) override
    {
        if (error.empty()) error = "malformed JSON at byte " + std::to_string(position) + ": " + ex.what();
        return false;
    }

private:
    bool fail(std::string message)
    {
        error = std::move(message);
        return false;
    }

    bool open(Value v)
    {
        if (m_stack.size() >= max_depth) return fail("JSON nested too deeply");
        m_stack.push_back(std::move(v));
        return true;
    }

    bool close()
    {
        Value done = std::move(m_stack.back());
        m_stack.pop_back();
        return add(std::move(done));
    }

    bool add(Value v)
    {
        if (m_stack.empty()) {
            result = std::move(v);
            return true;
        }
        Value& parent = m_stack.back();
        if (auto* arr = std::get_if<Array>(&parent.v)) {
            arr->push_back(std::move(v));
        } else {
            auto& obj = std::get<Object>(parent.v);
            obj.emplace_back(std::move(m_keys.back()), std::move(v));
            m_keys.pop_back();
        }
        return true;
    }

    std::vector<Value> m_stack;
    std::vector<std::string> m_keys;
};

}  // namespace

std::expected<Value, std::string> parse(std::string_view text)
{
    Builder b;
    bool ok = false;
    try {
        ok = nlohmann::json::sax_parse(text.begin(), text.end(), &b);
    } catch (std::exception const& e) {
        return std::unexpected(std::string("malformed JSON: ") + e.what());
    }
    if (!ok) return std::unexpected(b.error.empty() ? std::string("malformed JSON") : b.error);
    return std::move(b.result);
}

std::string describe(Value const& value)
{
    struct Visitor {
        std::string operator()(std::nullptr_t) const { return "null"; }
        std::string operator()(bool b) const { return std::string("boolean `") + (b ? "true" : "false") + "`"; }
        std::string operator()(int64_t n) const { return "integer `" + std::to_string(n) + "`"; }
        std::string operator()(uint64_t n) const { return "integer `" + std::to_string(n) + "`"; }
        std::string operator()(double d) const
        {
            return "floating point `" + nlohmann::json(d).dump() + "`";
        }
        std::string operator()(std::string const& s) const
        {
            std::string out = "string ";
            append_quoted(out, s);
            return out;
        }
        std::string operator()(Array const&) const { return "sequence"; }
        std::string operator()(Object const&) const { return "map"; }
    };
    return std::visit(Visitor{}, value.v);
}

void append_quoted(std::string& out, std::string_view text)
{
    out += nlohmann::json(std::string(text)).dump(-1, ' ', false,
                                                   nlohmann::json::error_handler_t::replace);
}

}  // namespace chat::json
