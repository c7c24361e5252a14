#include "install/fast_update.hpp"

#include "foundation/disk.hpp"
#include "foundation/error.hpp"
#include "foundation/paths.hpp"
#include "foundation/text.hpp"
#include "install/journal.hpp"
#include "install/range_extract.hpp"
#include "install/staged_files.hpp"
#include "portal/range_fetch.hpp"

#include <map>
#include <vector>

namespace tess {
namespace fs = std::filesystem;
namespace {

constexpr char paused[] = "Download pausiert. Er kann später fortgesetzt werden.";
constexpr std::string_view artifactsApi = "/account-api/v1/software/artifacts/";

bool partialDownloadWaits(const Client& client, const Json& artifact) {
    const DiskEntry partial = queryEntry(client.dataRoot / L"downloads" /
                                         toWide(artifact.at("sha256").get<std::string>() + ".zip.partial"));
    return partial.exists && partial.size > 0;
}

// Folders need not be listed; the extraction creates those the archive names, and so does this road.
void createListedFolders(const ArchiveDirectory& directory, const fs::path& stage) {
    for (const DirectoryEntry& entry : directory.entries)
        if (entry.directory) {
            const fs::path folder = extendedPath(stage / fs::path(entry.path).make_preferred(), false);
            refuseReparsePointsBelow(stage, folder);
            createDirectoriesBelow(stage, folder);
        }
}

std::vector<const DirectoryEntry*> entriesOf(const ArchiveDirectory& directory,
                                             const std::vector<const Json*>& files) {
    std::map<const Json*, const DirectoryEntry*> byListing;
    for (const DirectoryEntry& entry : directory.entries)
        if (entry.listed)
            byListing.emplace(entry.listed, &entry);
    std::vector<const DirectoryEntry*> entries;
    for (const Json* file : files)
        entries.push_back(byListing.at(file));
    return entries;
}

std::uint64_t spanBytes(const std::vector<FetchSpan>& spans) {
    std::uint64_t bytes = 0;
    for (const FetchSpan& span : spans)
        bytes += span.last - span.first + 1;
    return bytes;
}

bool stageFrom(RangeSource& source, Client& client, const Json& manifest, const ReuseSources& sources,
               const fs::path& stage, Json& journal) {
    const std::optional<ArchiveDirectory> directory = fetchArchiveDirectory(source, manifest);
    if (!directory)
        return false;
    journal["phase"] = "extracting";
    writeJournal(client.dataRoot, journal);
    const fs::path root = extendedPath(stage, false);
    ensurePrivateDirectory(root);
    createListedFolders(*directory, root);

    StagedFiles staged(&client.progress.cancelled, manifest.at("files").size(),
                       manifest.at("artifact").at("unpackedSize").get<std::uint64_t>());
    std::vector<const Json*> toFetch = copyReusedFiles(sources, manifest, root, staged, client.progress);
    for (const Json* mismatched : staged.settle())
        toFetch.push_back(mismatched);
    const std::vector<FetchSpan> spans = planSpans(entriesOf(*directory, toFetch), source.requestsLeft());
    source.expect(spanBytes(spans));
    if (!fetchEntries(source, spans, root, staged))
        return false;
    require(staged.settle().empty(), "Entpackter Dateiinhalt ist manipuliert.");
    return true;
}

} // namespace

std::optional<ReuseSources> chooseFastRoad(const Client& client, const std::string& releaseId,
                                           const Json& manifest, const std::string& manifestHash,
                                           const fs::path& damaged) {
    if (partialDownloadWaits(client, manifest.at("artifact")))
        return std::nullopt;
    std::vector<fs::path> sameRelease;
    if (fs::path interrupted = findInterruptedStaging(client, client.dataRoot, releaseId, manifestHash);
        !interrupted.empty())
        sameRelease.push_back(std::move(interrupted));
    if (!damaged.empty())
        sameRelease.push_back(damaged);
    ReuseSources sources(client, releaseId, manifest, sameRelease);

    bool shared = false;
    std::uint64_t toFetch = 0;
    for (const Json& file : manifest.at("files")) {
        if (sources.sourceFor(file))
            shared = true;
        else
            toFetch += file.at("size").get<std::uint64_t>();
    }
    const std::uint64_t unpacked = manifest.at("artifact").at("unpackedSize").get<std::uint64_t>();
    if (!shared || toFetch * 5 > unpacked * 3)
        return std::nullopt;
    return sources;
}

bool stageChangedFilesOnly(Client& client, const std::string& releaseId, const Json& manifest,
                           const ReuseSources& sources, const fs::path& stage, Json& journal) {
    std::string token = client.accessToken(false);
    PortalRanges source(
        std::string(artifactsApi) + releaseId, manifest.at("artifact"), token,
        [&client] { return client.refreshAfterRejection(); }, client.progress);
    try {
        return stageFrom(source, client, manifest, sources, stage, journal);
    } catch (...) {
        // Whatever a worker or a read was doing when the user stopped, this road then only pauses.
        if (client.progress.cancelled.load())
            throw Error(paused);
        throw;
    }
}

} // namespace tess
