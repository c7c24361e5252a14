// The road of an install that fetches only what changed: the new version's files that this computer
// already holds are copied, the rest comes by range from the archive the manifest signs. It only ever
// shortens the way to the same staging tree, which the tree check then judges as any other; whenever it
// cannot be taken, the whole archive is fetched instead, without an error.
#pragma once

#include "client/client.hpp"
#include "foundation/json.hpp"
#include "install/reuse.hpp"

#include <filesystem>
#include <optional>
#include <string>

namespace tess {

// The choice, made once before anything is copied or fetched. Nothing (the whole archive) when a
// partial download of this archive waits to be resumed, when no file of the new version is at hand, or
// when the files left to fetch exceed 60 % of the unpacked size. damaged: the folder a repair has just
// moved aside, or empty.
std::optional<ReuseSources> chooseFastRoad(const Client& client, const std::string& releaseId,
                                           const Json& manifest, const std::string& manifestHash,
                                           const std::filesystem::path& damaged);

// Writes the journal's "extracting" record, then fills the stage (which must not exist): copies, then
// the archive's remaining entries by range. False when the portal or the archive does not allow that and
// the whole archive must be fetched after all; what the stage holds then stays for housekeeping. A
// cancel ends it with "Download pausiert. Er kann später fortgesetzt werden.", keeping the stage.
[[nodiscard]] bool stageChangedFilesOnly(Client& client, const std::string& releaseId, const Json& manifest,
                                         const ReuseSources& sources, const std::filesystem::path& stage,
                                         Json& journal);

} // namespace tess
