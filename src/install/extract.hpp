// Unpacks a release archive into a new staging folder and proves on the way that the folder then holds
// exactly the signed manifest's files. Never writes outside that folder; never removes what it wrote.
#pragma once

#include "foundation/json.hpp"
#include "foundation/progress.hpp"
#include "trust/compact_manifest.hpp"

#include <atomic>
#include <filesystem>

namespace tess {

// target must not exist yet. progress may be null.
void extractArchive(const std::filesystem::path& archive, const std::filesystem::path& target,
                    const CompactManifest& manifest, const std::atomic<bool>& cancel, Progress* progress);
// The same for a manifest document, which is validated first and taken into the compact form once.
void extractArchive(const std::filesystem::path& archive, const std::filesystem::path& target,
                    const Json& manifest, const std::atomic<bool>& cancel, Progress* progress);

} // namespace tess
