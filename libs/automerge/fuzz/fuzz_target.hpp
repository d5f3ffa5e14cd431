#pragma once

#include <automerge/automerge.hpp>
#include <cstdint>
#include <span>

namespace automerge::fuzz {

void run_one(std::span<uint8_t const> input);

}  // namespace automerge::fuzz
