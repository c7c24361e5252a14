// Turns a prepared staging folder into the version folder by one rename in the same parent, retried
// for a bounded time while Windows still holds a file. Never moves across folders, onto an existing
// folder or through a link; every failure leaves the staging folder as it was.
#pragma once

#include "foundation/progress.hpp"

#include <cstdint>
#include <filesystem>

namespace tess {

// Throws tess::FinalizeError carrying the Windows error and the number of rename attempts.
void finalizeStaging(const std::filesystem::path& staging, const std::filesystem::path& target,
                     Progress& progress, std::uint32_t retryBudgetMs);

// Both paths as tess::checkInstallPath returns them; attempts is carried into any refusal.
void checkBeforeRename(const std::filesystem::path& staging, const std::filesystem::path& target,
                       std::int32_t attempts);

} // namespace tess
