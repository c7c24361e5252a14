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
#include <numeric>
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

[[noreturn]] void throwDamaged(const std::string& manifestPath) {
    throw Error("Programmdatei beschädigt: " + manifestPath);
}

// Throws when the listed file is not a regular file of its listed size.
void checkStatus(const fs::path& full, const std::string& path, std::uint64_t listedSize) {
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
    ListedFilesCheck(const Json& files, std::uint64_t bytes, PackageProgress& package)
        : files_(files), package_(package),
          workers_({package.sinkCancelFlag()}, HashWorkers::poolFor(files.size(), bytes, false)) {}

    void run(const fs::path& programDir) {
        for (const Json& entry : files_) {
            package_.checkCancelled();
            const std::string& path = entry.at("path").get_ref<const std::string&>();
            std::wstring relative = checkArchivePath(path);
            fs::path full = extendedPath(programDir / fs::path(relative).make_preferred(), false);
            try {
                checkStatus(full, path, entry.at("size").get<std::uint64_t>());
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
        const Json& entry = files_.at(filesDone_);
        const std::string& path = entry.at("path").get_ref<const std::string&>();
        std::optional<FileHash> hash = workers_.takeOldest(reportInterval);
        if (hash) {
            if (hash->error)
                std::rethrow_exception(hash->error);
            if (hash->sha256 != entry.at("sha256").get_ref<const std::string&>())
                throwDamaged(path);
            bytesDone_ += entry.at("size").get<std::uint64_t>();
            ++filesDone_;
        }
        package_.reportLine(checkingFiles, std::max(bytesDone_, workers_.bytesHashed()), filesDone_, path,
                            false, false);
    }

    const Json& files_;
    PackageProgress& package_;
    HashWorkers workers_;
    std::wstring checkedFolder_;
    std::uint64_t bytesDone_ = 0;
    std::uint64_t filesDone_ = 0;
};

bool foldedLess(std::string_view left, std::string_view right) {
    return std::lexicographical_compare(
        left.begin(), left.end(), right.begin(), right.end(), [](unsigned char a, unsigned char b) {
            return (a >= 'A' && a <= 'Z' ? a + 32 : a) < (b >= 'A' && b <= 'Z' ? b + 32 : b);
        });
}

// The listed paths in ASCII-folded order, kept as positions in the manifest's file list, so that the
// walk finds each file it meets without a second copy of the list. Folding only ASCII letters, the
// order of UTF-8 text serves as well as that of the wide names.
class ListedPaths {
  public:
    explicit ListedPaths(const Json& files) : files_(files), order_(files.size()), found_(files.size()) {
        std::iota(order_.begin(), order_.end(), std::uint32_t{0});
        std::sort(order_.begin(), order_.end(),
                  [this](std::uint32_t a, std::uint32_t b) { return foldedLess(path(a), path(b)); });
    }

    // False when the path is not listed or was met before.
    bool markFound(std::string_view relative) {
        auto at = std::lower_bound(
            order_.begin(), order_.end(), relative,
            [this](std::uint32_t index, std::string_view key) { return foldedLess(path(index), key); });
        if (at == order_.end() || foldedLess(relative, path(*at)) || found_[*at])
            return false;
        found_[*at] = true;
        ++foundCount_;
        return true;
    }
    [[nodiscard]] bool allFound() const { return foundCount_ == order_.size(); }

  private:
    std::string_view path(std::uint32_t index) const {
        return files_[index].at("path").get_ref<const std::string&>();
    }

    const Json& files_;
    std::vector<std::uint32_t> order_;
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

PackageProgress::PackageProgress(Progress* sink, CancelFlag extraCancel, const Json& manifest)
    : sink_(sink), extraCancel_(extraCancel),
      totalBytes_(manifest.at("artifact").at("unpackedSize").get<std::uint64_t>()),
      totalFiles_(manifest.at("files").size()) {}

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

void verifyFiles(const fs::path& programDir, const Json& manifest, bool production, bool offline,
                 Progress* progress) {
    validateManifest(manifest);
    PackageProgress package(progress, nullptr, manifest);
    const Json& files = manifest.at("files");
    package.reportLine(checkingFiles, 0, 0, files.at(0).at("path").get_ref<const std::string&>(), true,
                       false);

    std::uint64_t bytesDone = 0;
    std::uint64_t filesDone = 0;
    {
        ListedFilesCheck check(files, manifest.at("artifact").at("unpackedSize").get<std::uint64_t>(),
                               package);
        check.run(programDir);
        bytesDone = check.bytesDone();
        filesDone = check.filesDone();
    }
    package.reportLine(checkingFolder, bytesDone, filesDone, {}, true, false);
    ListedPaths listed(files);
    checkFolderHoldsNothingElse(programDir, package, listed, bytesDone, filesDone);
    require(listed.allFound(), "Programmdateien fehlen. Bitte reparieren.");

    if (production) {
        require(!manifest.value("testOnly", false), "Testpakete dürfen nicht produktiv installiert werden.");
        if (authenticodeRequired(manifest))
            checkPublisherSignatures(programDir, package, bytesDone, filesDone, offline);
    }

    Json delivery = loadJsonOr(programDir / L"delivery-manifest.json", Json::object());
    bool sameBuild = delivery.at("buildId") == manifest.at("buildId");
    bool sameEngine = delivery.at("engine") == manifest.at("compatibility").at("engine");
    require(sameBuild && sameEngine, "Desktopstand stimmt nicht mit Freigabe überein.");

    package.reportLine("Programmdateien vollständig geprüft", bytesDone, filesDone, {}, true, true);
}

} // namespace tess
