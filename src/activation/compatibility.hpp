// Whether a version may run here for this user: its declared profile range, the launcher version it
// needs and the Windows build it needs. Each caller runs the version's preflight first.
#pragma once

#include "foundation/json.hpp"

#include <cstdint>
#include <optional>

namespace tess {

// Throws the first condition that fails, or the JSON library's error for a missing or mistyped member.
void checkCompatibility(const Json& manifest, const Json& preflightAnswer);

// The build number RtlGetVersion reports; empty when the call is missing or fails.
std::optional<std::uint32_t> windowsBuildNumber();

} // namespace tess
