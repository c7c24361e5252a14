#include "activation/launch.hpp"

#include "activation/compatibility.hpp"
#include "activation/preflight.hpp"
#include "activation/process.hpp"
#include "activation/startup_pipe.hpp"
#include "build_config.hpp"
#include "foundation/crypto.hpp"
#include "foundation/disk.hpp"
#include "foundation/error.hpp"
#include "foundation/files.hpp"
#include "foundation/identity.hpp"
#include "foundation/paths.hpp"
#include "foundation/text.hpp"
#include "foundation/tree.hpp"
#include "install/journal.hpp"
#include "install/receipts.hpp"
#include "install/verify.hpp"
#include "trust/manifest.hpp"

#include <ctime>
#include <string>
#include <system_error>
#include <vector>

namespace tess {
namespace fs = std::filesystem;
namespace {

constexpr std::uint64_t staleAfter = 2592000000000ull; // 72 hours in 100-ns units
constexpr MemberRule currentMembers[] = {{"active", MemberType::text},
                                         {"previous", MemberType::text},
                                         {"pending", MemberType::flag},
                                         {"rollbackSafe", MemberType::flag}};

fs::path currentPath(const Client& client) {
    return client.dataRoot / L"current.json";
}
fs::path journalPath(const Client& client) {
    return client.dataRoot / L"journal.json";
}
fs::path versionFolder(const Client& client, const std::string& releaseId) {
    return client.installRoot / L"releases" / toWide(releaseId);
}

void report(const Client& client, const std::string& text) {
    if (client.progress.report)
        client.progress.report(text, 0, 0);
}

// CORVALIS_LAUNCHER_PIPE exists in this process only while the application is being started.
class LauncherPipeVariable {
  public:
    explicit LauncherPipeVariable(const std::string& name) {
        ::SetEnvironmentVariableW(L"CORVALIS_LAUNCHER_PIPE", toWide(name).c_str());
    }
    ~LauncherPipeVariable() { ::SetEnvironmentVariableW(L"CORVALIS_LAUNCHER_PIPE", nullptr); }
    LauncherPipeVariable(const LauncherPipeVariable&) = delete;
    LauncherPipeVariable& operator=(const LauncherPipeVariable&) = delete;
};

StartedProcess startApplication(const Client& client, const fs::path& folder, const std::string& pipeName) {
    LauncherPipeVariable pipeVariable(pipeName);
    ::SetEnvironmentVariableW(L"CORVALIS_LAUNCHER_PATH", (client.installRoot / L"TESSARO.exe").c_str());
    return startProcess(folder / L"appTESSARO.exe", {}, false);
}

void awaitConfirmation(Client& client, StartupPipe& pipe, const StartedProcess& application, Json& current,
                       const std::string& active, const Json& manifest) {
    require(awaitClient(pipe, application.processId, build::waits().startupConnectMs),
            "TESSARO hat den Start nicht bestätigt.");
    const Json message = readMessage(pipe.pipe.get(), build::waits().startupMessageMs);
    const bool accepted =
        messageType(message) == "startup-ready" && message.at("buildId") == manifest.at("buildId") &&
        message.at("profileSchema") == manifest.at("compatibility").at("profileSchemaWrite");
    require(accepted, "Startbestätigung ist mit der Freigabe nicht vereinbar.");

    current["pending"] = false;
    current["profileSchema"] = message.at("profileSchema");
    current["lastGood"] = active;
    writeFileDurably(currentPath(client), dumpCompact(current));
    removeEntry(journalPath(client));
    removeStaleLeftovers(client);
    report(client, "TESSARO wurde erfolgreich gestartet.");
}

std::uint64_t fileTimeValue(const FILETIME& time) {
    return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

bool writtenBefore(const fs::path& entry, std::uint64_t limit) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(extendedPath(entry, true).c_str(), GetFileExInfoStandard, &data))
        throw fs::filesystem_error(
            "last_write_time", entry,
            std::error_code(static_cast<int>(::GetLastError()), std::system_category()));
    return fileTimeValue(data.ftLastWriteTime) < limit;
}

void removeStaleEntries(const fs::path& folder, bool stagingOnly, std::uint64_t limit) {
    if (!pathExists(folder))
        return;
    refuseReparsePoints(folder);
    for (const TreeEntry& entry : listFolder(folder)) {
        if (stagingOnly && toUtf8(entry.relative.native()).find("-staging-") == std::string::npos)
            continue;
        if (!writtenBefore(entry.path, limit))
            continue;
        refuseReparsePoints(entry.path);
        removeTree(entry.path);
    }
}

// A switch whose process ended after its state change but before the launch started the new version
// leaves its own record: that version never ran, so it has not failed; the next launch gives it its
// first start (and a failure then is recovered as any other).
bool switchEndedBeforeStart(const Json& journal, const Json& current) {
    return journal.is_object() && journal.value("phase", std::string()) == "activating" &&
           journal.value("releaseId", std::string()) == current.value("active", std::string());
}

// A journal that cannot be read tells nothing about a start in progress: it is kept aside for support
// and the recovery goes on as without a record.
Json journalRecord(const Client& client) {
    const StateDocument journal = readJournal(client.dataRoot);
    if (!journal.damaged())
        return journal.content;
    setAsideDamagedDocument(journal.path);
    report(client, damagedDocumentNotice(journal.path));
    return Json::object();
}

} // namespace

bool isApplicationRunning(std::uint32_t ignoredProcessId) {
    return anyOtherProcess([&](std::uint32_t processId, std::wstring_view image) {
        return processId != ignoredProcessId &&
               ::CompareStringOrdinal(image.data(), static_cast<int>(image.size()), L"appTESSARO.exe", -1,
                                      TRUE) == CSTR_EQUAL &&
               isProcessOfCurrentUser(processId);
    });
}

StateDocument readCurrentDocument(const Client& client) {
    return readStateDocument(currentPath(client), currentMembers);
}

void launchActive(Client& client) {
    require(!isApplicationRunning(0), "TESSARO läuft bereits. Bitte zum vorhandenen Fenster wechseln.");
    const StateDocument state = readCurrentDocument(client);
    // Launch mode shows why nothing starts and opens the manager, where a new switch replaces it.
    if (state.damaged())
        throw Error(state.failure);
    Json current = state.content;
    const std::string active = current.value("active", std::string());
    require(isUuidText(active), "Bitte zuerst eine Softwareversion installieren und auswählen.");
    const CompactManifest manifest = loadCompactReceipt(client, active);
    const fs::path folder = versionFolder(client, active);
    verifyFiles(folder, manifest, true, true, &client.progress);

    report(client, "Kompatibilität der installierten Version wird geprüft …");
    checkCompatibility(manifest.members(), runPreflight(folder, client.dataRoot));
    require(!client.progress.cancelled, "Start abgebrochen. Die installierte Version bleibt erhalten.");

    report(client, "TESSARO wird gestartet …");
    const std::string pipeName = "TESSARO-Updater-" + randomId();
    StartupPipe pipe = createStartupPipe(pipeName);
    const StartedProcess application = startApplication(client, folder, pipeName);
    writeJournal(client.dataRoot, Json{{"phase", "launching"},
                                       {"releaseId", active},
                                       {"pid", application.processId},
                                       {"previous", current.value("previous", std::string())}});
    try {
        awaitConfirmation(client, pipe, application, current, active, manifest.members());
    } catch (...) {
        // The failure of the start is what the user must see; a failed return to the previous version
        // is only reported, so it cannot hide why the start failed.
        if (::WaitForSingleObject(application.process.get(), 0) == WAIT_OBJECT_0) {
            try {
                recoverAfterFailedStart(client);
            } catch (const std::exception& recoveryFailure) {
                report(client, recoveryFailure.what());
            }
        }
        throw;
    }
}

void recoverAfterFailedStart(Client& client) {
    const StateDocument state = readCurrentDocument(client);
    if (state.damaged()) {
        // Nothing can be decided without it; the next switch sets it aside and writes a new one.
        report(client, damagedDocumentNotice(state.path));
        return;
    }
    Json current = state.content;
    const Json journal = journalRecord(client);
    if (!current.value("pending", false)) {
        removeStaleLeftovers(client);
        return;
    }
    if (isApplicationRunning(0) || switchEndedBeforeStart(journal, current))
        return;
    const std::string previous = current.value("previous", std::string());
    if (previous.empty())
        return;
    require(
        current.value("rollbackSafe", false),
        "Die neue Version konnte nicht starten. Das Profil erlaubt keinen automatischen Rückwechsel; bitte "
        "kompatible Version reparieren.");

    const CompactManifest manifest = loadCompactReceipt(client, previous);
    const fs::path folder = versionFolder(client, previous);
    verifyFiles(folder, manifest, true, true, nullptr);
    const Json answer = runPreflight(folder, client.dataRoot);
    checkCompatibility(manifest.members(), answer);
    require(answer.value("rollbackSafe", false),
            "Profil wurde geändert; automatischer Rückwechsel ist gesperrt.");

    current["failed"] = current.value("active", std::string());
    current["active"] = previous;
    current["pending"] = false;
    writeFileDurably(currentPath(client), dumpCompact(current));
    writeFileDurably(
        client.dataRoot / L"recovery.json",
        dumpCompact(Json{{"restored", previous}, {"at", static_cast<std::int64_t>(std::time(nullptr))}}));
    removeEntry(journalPath(client));
    report(client,
           "Vorherige kompatible Version ist wieder ausgewählt. Benutzerprojekte bleiben unverändert.");
}

void removeStaleLeftovers(const Client& client) {
    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    const std::uint64_t limit = fileTimeValue(now) - staleAfter;
    removeStaleEntries(client.dataRoot / L"downloads", false, limit);
    removeStaleEntries(client.installRoot / L"releases", true, limit);
}

} // namespace tess
