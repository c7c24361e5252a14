// The progress and cancellation channel of long operations: the window thread sets `cancelled`,
// operations test it at their own check points and report lines through `report` when it is set.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

namespace tess {

struct Progress {
    // Text (UTF-8), amount done, total (0: unknown).
    std::function<void(const std::string&, std::uint64_t, std::uint64_t)> report;
    std::atomic<bool> cancelled{false};
};

using CancelFlag = const std::atomic<bool>*;

} // namespace tess
