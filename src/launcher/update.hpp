// Launcher update preparation: the version rule against the running launcher, the launcher update
// document that orders a replacement, and the start of the replacement helper that carries it out.
#pragma once

#include "foundation/json.hpp"

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>

namespace tess {

// major.minor.patch read with formatted extraction (blanks before a number tolerated, nothing after the
// last digit, no negative part); nullopt when the text has another form.
std::optional<std::array<std::int64_t, 3>> readLauncherVersion(std::string_view text);

// Whether a release version counts as newer than the running launcher; a text that is not three parts
// of 0 to 65,535 counts as newer.
[[nodiscard]] bool isNewerThanRunningLauncher(std::string_view version);

std::filesystem::path launcherUpdateDocumentPath(const std::filesystem::path& dataRoot);
void writeLauncherUpdateDocument(const std::filesystem::path& dataRoot, const Json& document);

// installRoot\updater\"launcher-" + sha256 + ".exe".
std::filesystem::path stagedLauncherPath(const std::filesystem::path& installRoot, std::string_view sha256);

// Starts the staged launcher as replacement helper of this process and does not wait for it.
void startReplacementHelper(const std::filesystem::path& stagedLauncher);

// Removes a staged file whose content is not what was verified, so that the next run copies it again;
// the caller reports the change, a failed removal changes nothing about that.
[[noreturn]] void discardAlteredStagedLauncher(const std::filesystem::path& stagedLauncher);

} // namespace tess
