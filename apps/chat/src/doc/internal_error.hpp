#pragma once

#include <automerge/automerge.hpp>
#include <string_view>
#include <utility>

namespace chat::doc {

// A write into an object that was just created or verified failed: the engine and the
// document disagree about something that cannot happen. Logs `label` (the step that failed)
// with the engine's message and stops the program.
[[noreturn]] void internal_error(std::string_view label, automerge::Error const& error);

template <class T>
T must(automerge::Result<T> result, std::string_view label) {
    if (!result) internal_error(label, result.error());
    if constexpr (!std::is_void_v<T>) return std::move(*result);
}

}  // namespace chat::doc
