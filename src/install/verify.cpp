#include "install/verify.hpp"

#include "foundation/crypto.hpp"
#include "foundation/error.hpp"
#include "foundation/hash_workers.hpp"
#include "foundation/paths.hpp"
#include "foundation/text.hpp"
#include "foundation/tree.hpp"
#include "install/archive_paths.hpp"
#include "install/authenticode.hpp"
#include "trust/manifest.hpp"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <system_error>

namespace tess {
namespace fs = std::filesystem;
namespace {

constexpr char checkingFiles[] = "Programmdateien werden geprüft";
constexpr char checkingFolder[] = "Programmordner wird geprüft";
constexpr std::int64_t reportIntervalNs = 100'000'000;
constexpr std::chrono::milliseconds reportInterval{100};
constexpr size_t longestShownName = 48;

std::int64_t steadyNowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The last path component, cut to fit the status line without splitting a surrogate pair.
std::wstring shownName(std::string_view path) {
    std::wstring wide = toWide(path);
    size_t slash = wide.find_last_of(L"\\/");
    std::wstring name = slash == std::wstring::npos ? wide : wide.substr(slash + 1);
    if (name.size() > longestShownName) {
        name.resize(longestShownName - 1);
        if (IS_HIGH_SURROGATE(name.back()))
            name.pop_back();
        name += L'\u2026';
    }
    return name;
}

bool isNotFound(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_BAD_NETPATH ||
           error == ERROR_INVALID_NAME;
}

[[noreturn]] void throwDamaged(std::string_view manifestPath) {
    throw Error("Programmdatei beschädigt: " + std::string(manifestPath));
}

// Throws when the listed file is not a regular file of its listed size.
void checkStatus(const fs::path& full, std::string_view path, std::uint64_t listedSize) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExW(full.c_str(), GetFileExInfoStandard, &data)) {
        DWORD error = ::GetLastError();
        if (isNotFound(error))
            throwDamaged(path);
        throw fs::filesystem_error("status", full,
                                   std::error_code(static_cast<int>(error), std::system_category()));
    }
    // A listed name that is itself a link is refused as a link, not hashed through it.
    require(!(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT),
            "Verzeichnisverknüpfungen sind hier nicht erlaubt.");
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        throwDamaged(path);
    std::uint64_t size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    if (size != listedSize)
        throwDamaged(path);
}

// First pass: every listed file is there as a regular file with its size and hash. The sizes are
// checked here in manifest order while worker threads hash the files queued before; results are taken
// in the same order, so the failure reported is always the first in the manifest.
class ListedFilesCheck {
  public:
    ListedFilesCheck(const CompactManifest& manifest, PackageProgress& package)
        : manifest_(manifest), package_(package),
          workers_({package.sinkCancelFlag()},
                   HashWorkers::poolFor(manifest.fileCount(), manifest.unpackedSize(), false)) {}

    void run(const fs::path& programDir) {
        for (std::size_t file = 0; file < manifest_.fileCount(); ++file) {
            package_.checkCancelled();
            const std::string_view path = manifest_.path(file);
            std::wstring relative = checkArchivePath(path);
            fs::path full = extendedPath(programDir / fs::path(relative).make_preferred(), false);
            try {
                checkStatus(full, path, manifest_.size(file));
                refuseLinkedFolders(full.parent_path());
            } catch (...) {
                // A file queued before this one may have failed its hash: that failure comes first.
                while (!workers_.empty())
                    takeResult();
                throw;
            }
            while (workers_.full())
                takeResult();
            workers_.add(std::move(full));
        }
        while (!workers_.empty())
            takeResult();
    }

    [[nodiscard]] std::uint64_t bytesDone() const { return bytesDone_; }
    [[nodiscard]] std::uint64_t filesDone() const { return filesDone_; }

  private:
    // No file is hashed through a link; a folder is checked once for the files listed after each other
    // in it, not once per file.
    void refuseLinkedFolders(const fs::path& folder) {
        if (folder.native() == checkedFolder_)
            return;
        refuseReparsePoints(folder);
        checkedFolder_ = folder.native();
    }

    // Takes the oldest result, or shows how far the threads are when it is not ready yet.
    void takeResult() {
        const std::size_t file = filesDone_;
        const std::string_view path = manifest_.path(file);
        std::optional<FileHash> hash = workers_.takeOldest(reportInterval);
        if (hash) {
            if (hash->error)
                std::rethrow_exception(hash->error);
            if (hash->sha256 != manifest_.sha256Hex(file))
                throwDamaged(path);
            bytesDone_ += manifest_.size(file);
            ++filesDone_;
        }
        package_.reportLine(checkingFiles, std::max(bytesDone_, workers_.bytesHashed()), filesDone_, path,
                            false, false);
    }

    const CompactManifest& manifest_;
    PackageProgress& package_;
    HashWorkers workers_;
    std::wstring checkedFolder_;
    std::uint64_t bytesDone_ = 0;
    std::uint64_t filesDone_ = 0;
};

// The listed files the walk has met, found through the manifest's index of ASCII-folded paths.
class ListedPaths {
  public:
    explicit ListedPaths(const CompactManifest& manifest)
        : manifest_(manifest), found_(manifest.fileCount()) {}

    // False when the path is not listed or was met before.
    bool markFound(std::string_view relative) {
        const std::size_t file = manifest_.findFolded(relative);
        if (file == CompactManifest::none || found_[file])
            return false;
        found_[file] = true;
        ++foundCount_;
        return true;
    }
    [[nodiscard]] bool allFound() const { return foundCount_ == found_.size(); }

  private:
    const CompactManifest& manifest_;
    std::vector<bool> found_;
    std::size_t foundCount_ = 0;
};

// Second pass: nothing in the folder but the listed files, and no link anywhere.
void checkFolderHoldsNothingElse(const fs::path& programDir, PackageProgress& package, ListedPaths& listed,
                                 std::uint64_t bytesDone, std::uint64_t filesDone) {
    // The walk starts below the folder; the folder and everything above it are checked here once.
    refuseReparsePoints(extendedPath(programDir, true));
    walkTree(programDir, [&](const TreeEntry& entry) {
        package.checkCancelled();
        require(!entry.reparsePoint, "Verzeichnisverknüpfungen sind hier nicht erlaubt.");
        if (entry.directory)
            return;
        std::string relative = toUtf8(entry.relative.native());
        std::replace(relative.begin(), relative.end(), '\\', '/');
        require(listed.markFound(relative), "Nicht freigegebene Datei im Programmordner. Bitte reparieren.");
        package.reportLine(checkingFolder, bytesDone, filesDone, toUtf8(entry.path.filename().native()),
                           false, false);
    });
}

void checkPublisherSignatures(const fs::path& programDir, PackageProgress& package, std::uint64_t bytesDone,
                              std::uint64_t filesDone, bool offline) {
    for (std::string_view relative : mainExecutables) {
        package.reportLine("Herausgebersignatur wird geprüft", bytesDone, filesDone, relative, true, false);
        fs::path file = programDir / fs::path(toWide(relative)).make_preferred();
        require(verifyPublisherSignature(file, offline), "Herausgebersignatur ungültig. Keine Installation.");
    }
}

} // namespace

std::wstring foldAsciiCase(std::wstring_view path) {
    std::wstring folded(path);
    for (wchar_t& c : folded)
        if (c >= L'A' && c <= L'Z')
            c = static_cast<wchar_t>(c - L'A' + L'a');
    return folded;
}

PackageProgress::PackageProgress(Progress* sink, CancelFlag extraCancel, const CompactManifest& manifest)
    : sink_(sink), extraCancel_(extraCancel), totalBytes_(manifest.unpackedSize()),
      totalFiles_(manifest.fileCount()) {}

void PackageProgress::checkCancelled() const {
    if ((extraCancel_ && extraCancel_->load()) || (sink_ && sink_->cancelled.load()))
        throw Error("Abgebrochen. Vorhandene Installation bleibt erhalten.");
}

CancelFlag PackageProgress::sinkCancelFlag() const {
    return sink_ ? &sink_->cancelled : nullptr;
}

void PackageProgress::reportLine(std::string_view text, std::uint64_t bytesDone, std::uint64_t filesDone,
                                 std::string_view currentPath, bool force, bool final) {
    checkCancelled();
    if (!sink_)
        return;
    if (!force) {
        std::int64_t now = steadyNowNs();
        if (now - lastReport_ < reportIntervalNs)
            return;
        lastReport_ = now;
    } else {
        lastReport_ = steadyNowNs();
    }
    std::string line(text);
    line += " (" + std::to_string(filesDone) + " / " + std::to_string(totalFiles_) + " Dateien)";
    if (!currentPath.empty())
        line += ": " + toUtf8(shownName(currentPath));
    std::uint64_t amount = bytesDone;
    // The bar reaches its end only with the final line.
    if (!final && totalBytes_ != 0 && amount > totalBytes_ - 1)
        amount = totalBytes_ - 1;
    if (sink_->report)
        sink_->report(line, amount, totalBytes_);
    checkCancelled();
}

void verifyFiles(const fs::path& programDir, const CompactManifest& manifest, bool production, bool offline,
                 Progress* progress) {
    PackageProgress package(progress, nullptr, manifest);
    package.reportLine(checkingFiles, 0, 0, manifest.path(0), true, false);

    std::uint64_t bytesDone = 0;
    std::uint64_t filesDone = 0;
    {
        ListedFilesCheck check(manifest, package);
        check.run(programDir);
        bytesDone = check.bytesDone();
        filesDone = check.filesDone();
    }
    package.reportLine(checkingFolder, bytesDone, filesDone, {}, true, false);
    ListedPaths listed(manifest);
    checkFolderHoldsNothingElse(programDir, package, listed, bytesDone, filesDone);
    require(listed.allFound(), "Programmdateien fehlen. Bitte reparieren.");

    const Json& members = manifest.members();
    if (production) {
        require(!members.value("testOnly", false), "Testpakete dürfen nicht produktiv installiert werden.");
        if (authenticodeRequired(members))
            checkPublisherSignatures(programDir, package, bytesDone, filesDone, offline);
    }

    Json delivery = loadJsonOr(programDir / L"delivery-manifest.json", Json::object());
    bool sameBuild = delivery.at("buildId") == members.at("buildId");
    bool sameEngine = delivery.at("engine") == members.at("compatibility").at("engine");
    require(sameBuild && sameEngine, "Desktopstand stimmt nicht mit Freigabe überein.");

    package.reportLine("Programmdateien vollständig geprüft", bytesDone, filesDone, {}, true, true);
}

void verifyFiles(const fs::path& programDir, const Json& manifest, bool production, bool offline,
                 Progress* progress) {
    verifyFiles(programDir, compactManifest(manifest), production, offline, progress);
}

} // namespace tess
