#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vemo_actions {

// Why an operation is run: Effect changes something outside the document (importing a
// file), View only changes what is shown. The numbers are part of the stored form.
enum class OperationType : uint8_t { Effect = 1, View = 2 };

char const* operation_type_name(OperationType type);  // "effect" / "view"
std::optional<OperationType> parse_operation_type(std::string_view name);

// Failures of the framework itself (unknown kind, malformed payload) and of an action's
// apply. The message is the display text shown to users and written to logs.
struct ActionError {
    enum class Code { UnknownKind, Malformed, Mismatch, Rejected, Failed };

    Code code = Code::Failed;
    std::string message;

    std::string const& display() const { return message; }
    bool operator==(ActionError const&) const = default;
};

// An action in transit: its kind ("chat.action", "chat.operation", ...) names the decoder,
// json is the payload text. Operations also carry the type they were issued with.
struct EncodedAction {
    std::string kind;
    std::string json;
    std::optional<OperationType> operation_type;

    bool operator==(EncodedAction const&) const = default;
};

// Payload texts larger or deeper than these are refused before any decoder sees them.
inline constexpr size_t max_payload_bytes = size_t(4) << 20;
inline constexpr size_t max_payload_depth = 64;

// Checks that json is one well-formed JSON value within the limits above.
std::optional<ActionError> check_payload(std::string_view json);

}  // namespace vemo_actions
