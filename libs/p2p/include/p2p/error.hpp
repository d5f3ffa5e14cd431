#pragma once

#include <expected>
#include <string>
#include <utility>

namespace p2p {

enum class ErrorKind {
    Other,
    InvalidInput,
    EndOfStream,
    ConnectionClosed,
    HandshakeFailed,
    TimedOut,
    Cancelled,
};

struct Error {
    ErrorKind kind = ErrorKind::Other;
    std::string message;
};

template <typename T>
using Result = std::expected<T, Error>;

inline std::unexpected<Error> fail(ErrorKind kind, std::string message) {
    return std::unexpected(Error{kind, std::move(message)});
}

}  // namespace p2p
