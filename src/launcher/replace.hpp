// Replacing the installed launcher from a helper process once every launcher has ended, and the
// start-up recovery that finishes or rolls back a replacement that was interrupted.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace tess {

// The helper entry for "--replace-launcher" and "--finish-uninstall": checks the parent, waits for it
// and takes the single-instance mutex before it changes anything.
void runHelper(const std::string& helperMode, std::uint32_t parentProcessId);

void replaceLauncher(const std::filesystem::path& installRoot, const std::filesystem::path& dataRoot);

// Run after the single-instance mutex was taken, before any launch or window.
void recoverLauncher();

} // namespace tess
