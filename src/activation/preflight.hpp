// The application's own verdict on the user's profile before a version is installed, switched to,
// started or restored: a hidden run with "--update-preflight" whose answer file decides.
#pragma once

#include "foundation/json.hpp"

#include <filesystem>

namespace tess {

// Returns the answer when the application accepts; throws its refusal, a time-out or a start failure.
// A preflight that times out is left running, and its answer file in place.
Json runPreflight(const std::filesystem::path& programDir, const std::filesystem::path& answerDir);

} // namespace tess
