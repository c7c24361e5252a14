#include "install/finalize.hpp"

#include "foundation/changes.hpp"
#include "foundation/error.hpp"
#include "foundation/paths.hpp"
#include "install/verify.hpp"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <string>

namespace tess {
namespace fs = std::filesystem;
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto noticeInterval = std::chrono::nanoseconds(499'999'999);
constexpr auto longestPause = std::chrono::milliseconds(100);

// A scanner or indexer that still holds a file gives one of these for a short while.
bool isRetryable(DWORD error) {
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

void report(Progress& progress, const char* text) {
    if (progress.report)
        progress.report(text, 0, 0);
}

[[noreturn]] void throwCancelled(std::int32_t attempts) {
    throw FinalizeError(ERROR_CANCELLED, attempts, "");
}

void requireFolder(const fs::path& path, std::int32_t attempts) {
    DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        throw FinalizeError(::GetLastError(), attempts,
                            "Der vorbereitete Installationsordner ist nicht erreichbar.");
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
        throw FinalizeError(ERROR_DIRECTORY, attempts, "Installationspfad ist kein Ordner.");
}

} // namespace

void checkBeforeRename(const fs::path& staging, const fs::path& target, std::int32_t attempts) {
    bool sameParent =
        foldAsciiCase(staging.parent_path().native()) == foldAsciiCase(target.parent_path().native());
    bool different = foldAsciiCase(staging.native()) != foldAsciiCase(target.native());
    if (!sameParent || !different)
        throw FinalizeError(
            ERROR_INVALID_PARAMETER, attempts,
            "Vorbereiteter Ordner und Ziel müssen verschieden sein und im selben Ordner liegen.");
    try {
        refuseReparsePoints(staging);
        refuseReparsePoints(target);
    } catch (const Error&) {
        throw FinalizeError(ERROR_ACCESS_DENIED, attempts,
                            "Verzeichnisverknüpfungen sind in Installationspfaden nicht erlaubt.");
    }
    requireFolder(staging.parent_path(), attempts);
    requireFolder(staging, attempts);
    DWORD targetAttributes = ::GetFileAttributesW(target.c_str());
    DWORD error = ::GetLastError();
    if (targetAttributes != INVALID_FILE_ATTRIBUTES)
        throw FinalizeError(ERROR_ALREADY_EXISTS, attempts,
                            "Der Zielordner ist bereits vorhanden und wird nicht überschrieben.");
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND)
        throw FinalizeError(error, attempts, "Der Zielordner konnte nicht sicher geprüft werden.");
}

void finalizeStaging(const fs::path& staging, const fs::path& target, Progress& progress,
                     std::uint32_t retryBudgetMs) {
    if (progress.cancelled.load())
        throwCancelled(0);
    fs::path from = checkInstallPath(staging);
    fs::path to = checkInstallPath(target);

    const Clock::time_point start = Clock::now();
    report(progress, "Vorbereitete Version wird abgeschlossen …");
    const Clock::time_point deadline = start + std::chrono::milliseconds(retryBudgetMs);
    Clock::time_point lastNotice = start;
    std::int32_t attempts = 0;
    DWORD lastError = 0;
    while (!progress.cancelled.load()) {
        if (attempts > 0 && Clock::now() >= deadline)
            throw FinalizeError(lastError, attempts,
                                "Bitte Zugriffsrechte prüfen oder zugreifende Programme schließen und erneut "
                                "versuchen.");
        checkBeforeRename(from, to, attempts);
        if (progress.cancelled.load())
            throwCancelled(attempts);
        // No replacing and no copying: the version folder appears whole or not at all.
        if (moveFile(from, to, MOVEFILE_WRITE_THROUGH))
            return;
        lastError = ::GetLastError();
        ++attempts;
        Clock::time_point now = Clock::now();
        if (!isRetryable(lastError) || now >= deadline)
            throw FinalizeError(lastError, attempts, "");
        if (now - lastNotice > noticeInterval) {
            report(progress, "Windows lässt den Abschluss noch nicht zu. Erneuter Versuch …");
            lastNotice = now;
        }
        if (progress.cancelled.load())
            throwCancelled(attempts);
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        auto pause = std::min<std::chrono::milliseconds>(longestPause, left);
        if (pause.count() > 0)
            ::Sleep(static_cast<DWORD>(pause.count()));
    }
    throwCancelled(attempts);
}

} // namespace tess
