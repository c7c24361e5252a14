#include "install/reuse.hpp"

#include "foundation/changes.hpp"
#include "foundation/disk.hpp"
#include "foundation/error.hpp"
#include "foundation/handles.hpp"
#include "foundation/paths.hpp"
#include "foundation/text.hpp"
#include "foundation/tree.hpp"
#include "install/archive_paths.hpp"
#include "install/receipts.hpp"
#include "trust/manifest.hpp"

#include <windows.h>

#include <algorithm>
#include <chrono>

namespace tess {
namespace fs = std::filesystem;
namespace {

constexpr char paused[] = "Download pausiert. Er kann später fortgesetzt werden.";
constexpr size_t copyBlockBytes = 1 << 20;
constexpr std::chrono::milliseconds reportInterval{100};

// Files are the same content when size and SHA-256 agree, whatever their path.
std::string contentKey(const Json& file) {
    return file.at("sha256").get<std::string>() + "/" + std::to_string(file.at("size").get<std::uint64_t>());
}

fs::path below(const fs::path& folder, const Json& file) {
    return folder /
           fs::path(checkArchivePath(file.at("path").get_ref<const std::string&>())).make_preferred();
}

// Installed versions other than this release: a version counts only with a receipt that still proves it
// and its folder in place.
std::vector<std::pair<fs::path, Json>> installedVersions(const Client& client, const std::string& releaseId) {
    std::vector<std::pair<fs::path, Json>> versions;
    std::vector<TreeEntry> receipts;
    try {
        receipts = listFolder(client.dataRoot / L"receipts");
    } catch (const std::exception&) {
        // Unreadable receipts only mean that the whole archive is fetched.
        return versions;
    }
    for (const TreeEntry& entry : receipts) {
        try {
            const std::string id = toUtf8(entry.path.stem().native());
            if (entry.directory || entry.path.extension() != L".json" || !isUuidText(id) || id == releaseId)
                continue;
            Json manifest = loadReceipt(client, id);
            versions.emplace_back(client.installRoot / L"releases" / toWide(id), std::move(manifest));
        } catch (const std::exception&) {
            // A receipt that proves nothing offers nothing.
        }
    }
    return versions;
}

class CopyProgress {
  public:
    CopyProgress(Progress& progress, std::uint64_t files, std::uint64_t bytes)
        : progress_(progress), files_(files), bytes_(bytes) {}

    void report(std::uint64_t filesDone, std::uint64_t bytesDone, bool force) {
        if (!progress_.report)
            return;
        const auto now = std::chrono::steady_clock::now();
        if (!force && now - last_ < reportInterval)
            return;
        last_ = now;
        progress_.report("Unveränderte Dateien werden übernommen (" + std::to_string(filesDone) + " / " +
                             std::to_string(files_) + " Dateien)",
                         std::min(bytesDone, bytes_), bytes_);
    }

  private:
    Progress& progress_;
    std::uint64_t files_;
    std::uint64_t bytes_;
    std::chrono::steady_clock::time_point last_{};
};

// All of the source's bytes into the copy, as long as they are no more than the listed size; false when
// the source cannot be read or holds another length. A cancel is seen after every block.
bool copyBytes(HANDLE from, HANDLE to, std::uint64_t size, Progress& progress, std::vector<char>& buffer,
               std::uint64_t& copied) {
    std::uint64_t done = 0;
    for (;;) {
        DWORD read = 0;
        if (!::ReadFile(from, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr))
            return false;
        require(!progress.cancelled.load(), paused);
        if (read == 0)
            return done == size;
        if (read > size - done)
            return false;
        DWORD written = 0;
        require(writeToFile(to, buffer.data(), read, written) && written == read, "Datei nicht schreibbar.");
        done += read;
        copied += read;
    }
}

// The source is opened without following a link in its own name and must still be the regular file of
// the listed size; a source that cannot be read whole leaves no copy behind. False: fetch it instead.
bool copyOne(const fs::path& source, const fs::path& target, const Json& listed, StagedFiles& staged,
             Progress& progress, std::vector<char>& buffer, std::uint64_t& copied) {
    FileHandle from(::CreateFileW(extendedPath(source, false).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN,
                                  nullptr));
    // Attributes and size through the handle alone: GetFileInformationByHandle also asks for the volume,
    // which costs milliseconds per file under Wine.
    FILE_BASIC_INFO basic{};
    LARGE_INTEGER length{};
    const std::uint64_t size = listed.at("size").get<std::uint64_t>();
    if (!from || !::GetFileInformationByHandleEx(from.get(), FileBasicInfo, &basic, sizeof basic) ||
        (basic.FileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) ||
        !::GetFileSizeEx(from.get(), &length) || static_cast<std::uint64_t>(length.QuadPart) != size)
        return false;

    FileHandle to =
        createFileForWriting(target, 0, CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT);
    require(to.valid(), "Datei nicht schreibbar.");
    if (!copyBytes(from.get(), to.get(), size, progress, buffer, copied)) {
        to.reset();
        removeEntry(target);
        return false;
    }
    staged.add(target, std::move(to), listed);
    return true;
}

} // namespace

ReuseSources::ReuseSources(const Client& client, const std::string& releaseId, const Json& manifest,
                           const std::vector<fs::path>& sameRelease) {
    for (const Json& file : manifest.at("files"))
        wanted_.emplace(contentKey(file), file.at("size").get<std::uint64_t>());
    for (const fs::path& folder : sameRelease)
        lookInto(folder, manifest);
    for (const auto& [folder, installed] : installedVersions(client, releaseId))
        lookInto(folder, installed);
}

const fs::path* ReuseSources::sourceFor(const Json& file) const {
    auto found = found_.find(contentKey(file));
    return found == found_.end() ? nullptr : &found->second;
}

void ReuseSources::lookInto(const fs::path& folder, const Json& manifest) {
    try {
        refuseReparsePoints(folder);
    } catch (const Error&) {
        return;
    }
    for (const Json& file : manifest.at("files")) {
        const std::string key = contentKey(file);
        auto wanted = wanted_.find(key);
        if (wanted == wanted_.end() || found_.contains(key))
            continue;
        const fs::path candidate = below(folder, file);
        if (isCandidate(folder, candidate, wanted->second))
            found_.emplace(key, candidate);
    }
}

// A regular file of that size, with no link on the way below the folder (looked at once per folder).
bool ReuseSources::isCandidate(const fs::path& folder, const fs::path& file, std::uint64_t size) {
    const fs::path full = extendedPath(file, false);
    auto [plain, unseen] = folderPlain_.try_emplace(full.parent_path().native(), false);
    if (unseen) {
        try {
            refuseReparsePointsBelow(folder, full.parent_path());
            plain->second = true;
        } catch (const Error&) {
        }
    }
    WIN32_FILE_ATTRIBUTE_DATA data{};
    return plain->second && ::GetFileAttributesExW(full.c_str(), GetFileExInfoStandard, &data) &&
           !(data.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) &&
           ((static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow) == size;
}

std::vector<const Json*> copyReusedFiles(const ReuseSources& sources, const Json& manifest,
                                         const fs::path& stage, StagedFiles& staged, Progress& progress) {
    std::vector<const Json*> toFetch;
    std::vector<std::pair<const Json*, const fs::path*>> toCopy;
    std::uint64_t bytes = 0;
    for (const Json& file : manifest.at("files")) {
        if (const fs::path* source = sources.sourceFor(file)) {
            toCopy.emplace_back(&file, source);
            bytes += file.at("size").get<std::uint64_t>();
        } else {
            toFetch.push_back(&file);
        }
    }
    CopyProgress line(progress, toCopy.size(), bytes);
    line.report(0, 0, true);
    std::vector<char> buffer(copyBlockBytes);
    std::uint64_t copied = 0;
    std::uint64_t files = 0;
    for (const auto& [file, source] : toCopy) {
        require(!progress.cancelled.load(), paused);
        const fs::path target = extendedPath(below(stage, *file), false);
        refuseReparsePointsBelow(stage, target.parent_path());
        createDirectoriesBelow(stage, target.parent_path());
        if (copyOne(*source, target, *file, staged, progress, buffer, copied))
            ++files;
        else
            toFetch.push_back(file);
        line.report(files, copied, false);
    }
    line.report(files, copied, true);
    return toFetch;
}

} // namespace tess
