// The install journal (dataRoot\journal.json) and the staging folders beside the version folders: an
// interrupted installation may reuse a staging folder only when the journal proves it complete.
#pragma once

#include "client/client.hpp"
#include "foundation/json.hpp"
#include "foundation/state_document.hpp"

#include <filesystem>
#include <string_view>

namespace tess {

// installRoot\releases\{releaseId}-staging-{fresh random id}.
std::filesystem::path newStagingFolder(const std::filesystem::path& installRoot, std::string_view releaseId);

// Replaces the journal with this record (compact, durable).
void writeJournal(const std::filesystem::path& dataRoot, const Json& record);

// The journal with the members its readers look up (phase and release id); see readStateDocument.
StateDocument readJournal(const std::filesystem::path& dataRoot);

// The staging folder of a "verified" journal record for this release and manifest, or an empty path.
// Never throws: whatever cannot be read or proven means no reuse.
std::filesystem::path findReusableStaging(const Client& client, const std::filesystem::path& dataRoot,
                                          std::string_view releaseId,
                                          std::string_view manifestSha256) noexcept;

// The staging folder of an "extracting" record for this release and manifest, or an empty path: what an
// interrupted attempt left, whose files may serve a new attempt once each hashes right. Never throws.
std::filesystem::path findInterruptedStaging(const Client& client, const std::filesystem::path& dataRoot,
                                             std::string_view releaseId,
                                             std::string_view manifestSha256) noexcept;

} // namespace tess
