// The install operation (Client::install): one release from the catalog into its own version folder,
// and the repair of an installed copy. It never touches another version and never changes which
// version is active.
#pragma once

#include <cstdint>
#include <filesystem>

namespace tess {

// Room kept free beyond the archive and the unpacked tree, so an install never fills the disk.
inline constexpr std::uint64_t freeSpaceReserve = 134217728; // 128 MiB
inline constexpr std::uint32_t finalRenameBudgetMs = 15000;

// dataRoot\installation-error.json: the report of a failed final rename (for the user and support;
// never read back).
std::filesystem::path installationErrorPath(const std::filesystem::path& dataRoot);

} // namespace tess
