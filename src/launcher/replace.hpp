// Replacing the installed launcher from a helper process once every launcher has ended, and the
// start-up recovery that finishes or rolls back a replacement that was interrupted.
#pragma once

#include "foundation/json.hpp"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

namespace tess {

// The helper entry for "--replace-launcher" and "--finish-uninstall": checks the parent, waits for it
// and takes the single-instance mutex before it changes anything.
void runHelper(const std::string& helperMode, std::uint32_t parentProcessId);

void replaceLauncher(const std::filesystem::path& installRoot, const std::filesystem::path& dataRoot);

// The disk steps before a swap; tests put recorders in their place to see the order.
struct SwapSteps {
    std::function<bool(const std::filesystem::path&)> flush;
    std::function<void(const std::filesystem::path&, const Json&)> writeDocument;
};
SwapSteps diskSwapSteps();

// Puts the new launcher beside the installed one as TESSARO.next.exe and backs up the installed one
// when it matches its receipt; only once both copies are on disk is the order marked "replacing".
void prepareSwap(const std::filesystem::path& newLauncher, const std::filesystem::path& installRoot,
                 const std::filesystem::path& dataRoot, Json& document, const SwapSteps& steps);

// Run after the single-instance mutex was taken, before any launch or window. The installed launcher
// never swaps its own file: an interrupted swap it finds goes to the order's replacement helper, which
// carries it out once this process has ended. An order that cannot be read is set aside beside itself and
// the start goes on as without one; the answer is then the path it had (for the window to say so),
// otherwise empty.
std::filesystem::path recoverLauncher();

} // namespace tess
