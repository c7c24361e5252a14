#include "install/verify.hpp"

#include "foundation/crypto.hpp"
#include "foundation/error.hpp"
#include "foundation/paths.hpp"
#include "foundation/text.hpp"
#include "foundation/tree.hpp"
#include "install/archive_paths.hpp"
#include "install/authenticode.hpp"
#include "trust/manifest.hpp"

#include <windows.h>

#include <chrono>
#include <set>
#include <system_error>

namespace tess {
namespace fs = std::filesystem;
namespace {

constexpr char checkingFiles[] = "Programmdateien werden geprüft";
constexpr char checkingFolder[] = "Programmordner wird geprüft";
constexpr std::int64_t reportIntervalNs = 100'000'000;
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

// First pass: every listed file is there as a regular file with its size and hash.
void checkListedFiles(const fs::path& programDir, const Json& files, PackageProgress& package,
                      std::set<std::wstring>& expected, std::uint64_t& bytesDone, std::uint64_t& filesDone) {
    for (const Json& entry : files) {
        package.checkCancelled();
        const std::string& path = entry.at("path").get_ref<const std::string&>();
        std::wstring relative = checkArchivePath(path);
        expected.insert(foldAsciiCase(relative));
        fs::path full = extendedPath(programDir / fs::path(relative).make_preferred(), false);

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
        std::uint64_t listedSize = entry.at("size").get<std::uint64_t>();
        if (size != listedSize)
            throwDamaged(path);

        const std::uint64_t before = bytesDone;
        std::string hash = sha256FileHex(full, package.sinkCancelFlag(), [&](std::uint64_t done) {
            package.reportLine(checkingFiles, before + done, filesDone, path, false, false);
        });
        if (hash != entry.at("sha256").get_ref<const std::string&>())
            throwDamaged(path);
        bytesDone += listedSize;
        ++filesDone;
        package.reportLine(checkingFiles, bytesDone, filesDone, path, false, false);
    }
}

// Second pass: nothing in the folder but the listed files, and no link anywhere.
void checkFolderHoldsNothingElse(const fs::path& programDir, PackageProgress& package,
                                 std::set<std::wstring>& expected, std::uint64_t bytesDone,
                                 std::uint64_t filesDone) {
    // The walk starts below the folder; the folder and everything above it are checked here once.
    refuseReparsePoints(extendedPath(programDir, true));
    walkTree(programDir, [&](const TreeEntry& entry) {
        package.checkCancelled();
        require(!entry.reparsePoint, "Verzeichnisverknüpfungen sind hier nicht erlaubt.");
        if (entry.directory)
            return;
        std::wstring key = entry.relative.native();
        for (wchar_t& c : key)
            if (c == L'\\')
                c = L'/';
        auto found = expected.find(foldAsciiCase(key));
        require(found != expected.end(), "Nicht freigegebene Datei im Programmordner. Bitte reparieren.");
        expected.erase(found);
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

    std::set<std::wstring> expected;
    std::uint64_t bytesDone = 0;
    std::uint64_t filesDone = 0;
    checkListedFiles(programDir, files, package, expected, bytesDone, filesDone);
    package.reportLine(checkingFolder, bytesDone, filesDone, {}, true, false);
    checkFolderHoldsNothingElse(programDir, package, expected, bytesDone, filesDone);
    require(expected.empty(), "Programmdateien fehlen. Bitte reparieren.");

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
