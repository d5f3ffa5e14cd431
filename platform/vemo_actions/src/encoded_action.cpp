#include "vemo_actions/encoded_action.hpp"

#include <nlohmann/json.hpp>

namespace vemo_actions {

namespace {

// Validates without building a document, so a hostile payload costs no memory beyond the
// parser's own state; the depth bound also protects decoders that recurse.
class BoundedValidator : public nlohmann::json_sax<nlohmann::json> {
  public:
    bool null() override { return true; }
    bool boolean(bool) override { return true; }
    bool number_integer(number_integer_t) override { return true; }
    bool number_unsigned(number_unsigned_t) override { return true; }
    bool number_float(number_float_t, string_t const&) override { return true; }
    bool string(string_t&) override { return true; }
    bool binary(binary_t&) override { return true; }
    bool start_object(std::size_t) override { return enter(); }
    bool key(string_t&) override { return true; }
    bool end_object() override { return leave(); }
    bool start_array(std::size_t) override { return enter(); }
    bool end_array() override { return leave(); }
    bool parse_error(std::size_t position, std::string const&,
                     nlohmann::detail::exception const& ex) override {
        m_error = "malformed JSON at byte " + std::to_string(position) + ": " + ex.what();
        return false;
    }

    std::optional<std::string> const& error() const { return m_error; }

  private:
    bool enter() {
        if (++m_depth <= max_payload_depth) return true;
        m_error = "JSON nested deeper than " + std::to_string(max_payload_depth) + " levels";
        return false;
    }
    bool leave() {
        --m_depth;
        return true;
    }

    size_t m_depth = 0;
    std::optional<std::string> m_error;
};

}  // namespace

char const* operation_type_name(OperationType type) {
    return type == OperationType::Effect ? "effect" : "view";
}

std::optional<OperationType> parse_operation_type(std::string_view name) {
    if (name == "effect") return OperationType::Effect;
    if (name == "view") return OperationType::View;
    return std::nullopt;
}

std::optional<ActionError> check_payload(std::string_view json) {
    if (json.size() > max_payload_bytes)
        return ActionError{ActionError::Code::Malformed,
                           "payload of " + std::to_string(json.size()) +
                               " bytes exceeds the limit of " + std::to_string(max_payload_bytes)};
    BoundedValidator validator;
    bool ok = false;
    try {
        ok = nlohmann::json::sax_parse(json, &validator);
    } catch (std::exception const& ex) {
        return ActionError{ActionError::Code::Malformed,
                           std::string("malformed JSON: ") + ex.what()};
    }
    if (ok) return std::nullopt;
    return ActionError{ActionError::Code::Malformed, validator.error().value_or("malformed JSON")};
}

}  // namespace vemo_actions
