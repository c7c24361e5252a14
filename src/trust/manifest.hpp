// The package manifest of a release: every bound, hash form and path rule, and the publisher-
// signature policy it shares with the launcher release.
#pragma once

#include "foundation/json.hpp"

#include <cstdint>
#include <string_view>

namespace tess {

void validateManifest(const Json& manifest);
[[nodiscard]] bool authenticodeRequired(const Json& document);
[[nodiscard]] bool isUuidText(std::string_view text);

// The one form of every hash in a signed document: a string of 64 characters from "0123456789abcdef".
[[nodiscard]] bool isSha256Text(const Json& value);

// An unsigned number as the JSON library reads it (integers and floating-point values converted,
// other types its type error), except that a number no 64-bit unsigned integer can hold, such as -1 or
// 1e30, throws `outOfRange` instead of wrapping around or converting with undefined behaviour.
[[nodiscard]] std::uint64_t readUnsigned(const Json& value, const char* outOfRange);

} // namespace tess
