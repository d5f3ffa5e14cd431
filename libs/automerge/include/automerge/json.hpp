#pragma once

#include <automerge/automerge.hpp>
#include <nlohmann/json.hpp>
#include <string_view>

// The document as plain JSON and back, for tools and for software agents driving the
// application. Kept out of the engine library proper so that it needs no JSON library.
namespace automerge {

// Deeper documents are refused rather than risking the stack.
inline constexpr size_t max_json_depth = 512;

// The document as plain JSON, the way the reference's toJS sees it: maps become objects,
// lists arrays, text and string scalars strings, counters and all numbers numbers, and only
// the winning value of a conflict appears. Bytes become base64 strings, timestamps ISO-8601
// UTC strings with milliseconds, non-finite floats and values of unknown type null.
automerge::Result<nlohmann::json> export_json(automerge::AutoCommit& doc);

// A new document holding the JSON object as its root map, committed as one change. Strings
// become text objects, whole numbers signed integers (unsigned past the signed range), other
// numbers floats. Duplicate object keys are an error rather than a silent choice.
automerge::Result<automerge::AutoCommit> import_json(std::string_view text);

std::string base64(std::span<uint8_t const> bytes);
std::string iso8601_utc(int64_t millis);

}  // namespace automerge
