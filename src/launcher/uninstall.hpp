// Uninstall in two stages: the version manager removes versions, state, shortcuts and the registry entry
// and hands over to a helper copy outside the program folder, which removes the rest once it has ended.
#pragma once

#include <chrono>
#include <filesystem>

namespace tess {

// The second stage, run by the "--finish-uninstall" helper after its parent ended and with the mutex held;
// it waits until the deadline for other helpers running from the program folder to end.
void finishUninstall(const std::filesystem::path& installRoot, const std::filesystem::path& dataRoot,
                     std::chrono::steady_clock::time_point deadline);

} // namespace tess
