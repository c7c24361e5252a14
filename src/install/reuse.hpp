// Files of a new version that this computer already holds: in installed versions (found through their
// receipts), in the folder a repair has just moved aside and in the staging folder an interrupted attempt
// of the same release left. Those places are only ever read; a copy counts once its hash is proven.
#pragma once

#include "client/client.hpp"
#include "foundation/json.hpp"
#include "foundation/progress.hpp"
#include "install/staged_files.hpp"

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace tess {

class ReuseSources {
  public:
    // sameRelease: folders laid out by the new manifest itself, looked at before installed versions.
    // Never looks into another release's staging folder.
    ReuseSources(const Client& client, const std::string& releaseId, const Json& manifest,
                 const std::vector<std::filesystem::path>& sameRelease);

    // A regular file of the entry's size that may hold its content, or null.
    [[nodiscard]] const std::filesystem::path* sourceFor(const Json& file) const;

  private:
    void lookInto(const std::filesystem::path& folder, const Json& manifest);
    bool isCandidate(const std::filesystem::path& folder, const std::filesystem::path& file,
                     std::uint64_t size);

    std::map<std::string, std::uint64_t> wanted_; // content key -> size
    std::map<std::string, std::filesystem::path> found_;
    std::map<std::wstring, bool> folderPlain_; // folders below a source checked for links
};

// Copies every manifest file that has a source into the existing staging folder and hands each copy to
// `staged` for its proof. Returns the entries left to fetch: those without a source and those whose
// source could not be read whole. A cancel ends it with the download's pause message.
std::vector<const Json*> copyReusedFiles(const ReuseSources& sources, const Json& manifest,
                                         const std::filesystem::path& stage, StagedFiles& staged,
                                         Progress& progress);

} // namespace tess
