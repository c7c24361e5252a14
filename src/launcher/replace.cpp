#include "launcher/replace.hpp"

#include "activation/process.hpp"
#include "foundation/changes.hpp"
#include "foundation/crypto.hpp"
#include "foundation/disk.hpp"
#include "foundation/error.hpp"
#include "foundation/files.hpp"
#include "foundation/handles.hpp"
#include "foundation/identity.hpp"
#include "foundation/json.hpp"
#include "foundation/paths.hpp"
#include "foundation/state_document.hpp"
#include "foundation/text.hpp"
#include "launcher/launcher_verify.hpp"
#include "launcher/selftest.hpp"
#include "launcher/uninstall.hpp"
#include "launcher/update.hpp"

#include <windows.h>

#include <optional>
#include <system_error>

namespace tess {
namespace fs = std::filesystem;
namespace {

constexpr DWORD replaceExisting = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;

// The files one replacement touches, all in long-path form.
struct LauncherFiles {
    explicit LauncherFiles(const fs::path& installRoot)
        : installed(extendedPath(installRoot / L"TESSARO.exe", false)),
          next(extendedPath(installRoot / L"TESSARO.next.exe", false)),
          recovery(extendedPath(installRoot / L"TESSARO.recovery.exe", false)),
          backup(extendedPath(installRoot / L"updater" / L"launcher-previous.exe", false)),
          receipt(extendedPath(launcherReceiptPath(installRoot), false)) {}
    fs::path installed;
    fs::path next;
    fs::path recovery;
    fs::path backup;
    fs::path receipt;
};

constexpr MemberRule orderMembers[] = {
    {"envelope", MemberType::text},       {"file", MemberType::text},
    {"phase", MemberType::text},          {"previousEnvelope", MemberType::text},
    {"previousSha256", MemberType::text}, {"sha256", MemberType::text},
    {"version", MemberType::text}};

std::string fileHash(const fs::path& path) {
    return sha256FileHex(path, nullptr, {});
}

std::string textMember(const Json& document, const char* name) {
    return document.value(name, std::string());
}

bool copyThenMove(const fs::path& source, const fs::path& intermediate, const fs::path& target) {
    return copyFile(source, intermediate, false) && moveFile(intermediate, target, replaceExisting);
}

void writePhase(Json& document, const fs::path& dataRoot, const char* phase,
                const SwapSteps& steps = diskSwapSteps()) {
    document["phase"] = phase;
    steps.writeDocument(dataRoot, document);
}

void writeReceiptFrom(const Json& document, const char* member, const LauncherFiles& files) {
    if (document.contains(member))
        writeFileDurably(files.receipt, document.at(member).get<std::string>());
}

// The staged file the document names, in the updater folder, with the hash the document names.
bool isOrderedLauncher(const Json& document, const fs::path& candidate, const fs::path& installRoot) {
    return sameEntry(candidate.parent_path(), installRoot / L"updater") &&
           fileHash(candidate) == document.at("sha256").get<std::string>() &&
           sameEntry(candidate, fs::path(toWide(document.at("file").get<std::string>())));
}

// The helper must run from the ordered launcher; a document that cannot be read names none.
void checkOrder(const StateDocument& order, const fs::path& self, const fs::path& installRoot) {
    require(!order.damaged() && isOrderedLauncher(order.content, self, installRoot),
            "Launcherupdate stimmt nicht mit Auftrag überein.");
}

// The receipt of the installed launcher when the launcher verifies against it. A launcher without a
// receipt, or one that does not match it, is replaced like a missing one: setup stages exactly that case.
std::optional<std::string> verifiedInstalledReceipt(const LauncherFiles& files, const Json& keys) {
    try {
        std::string receipt = readFileBounded(files.receipt, maxDocumentBytes);
        verifyLauncherFile(files.installed, receipt, keys, true);
        return receipt;
    } catch (const Error&) {
    } catch (const Json::exception&) {
    }
    return std::nullopt;
}

void backUpInstalledLauncher(Json& document, const LauncherFiles& files, const Json& keys,
                             const SwapSteps& steps) {
    document.erase("previousEnvelope");
    document.erase("previousSha256");
    if (!pathExists(files.installed))
        return;
    std::optional<std::string> receipt = verifiedInstalledReceipt(files, keys);
    if (!receipt)
        return;
    if (!receipt->empty())
        document["previousEnvelope"] = *receipt;
    document["previousSha256"] = fileHash(files.installed);
    require(copyFile(files.installed, files.backup, false) && steps.flush(files.backup),
            "Launcher-Sicherung fehlgeschlagen.");
}

// Only the backup taken for this order may go back in place, never one left from an older replacement.
bool hasBackupOfThisOrder(const Json& document, const LauncherFiles& files) {
    return document.contains("previousSha256") && pathExists(files.backup) &&
           fileHash(files.backup) == document.at("previousSha256").get<std::string>();
}

[[noreturn]] void rollBack(Json& document, const fs::path& dataRoot, const LauncherFiles& files) {
    require(hasBackupOfThisOrder(document, files) && copyThenMove(files.backup, files.next, files.installed),
            "Launcher-Wiederherstellung benötigt erneutes Setup.");
    writeReceiptFrom(document, "previousEnvelope", files);
    writePhase(document, dataRoot, "restored");
    throw Error("Neuer Launcher konnte nicht starten. Bisherige Version wurde wiederhergestellt.");
}

void restoreBackup(Json& document, const fs::path& dataRoot, const LauncherFiles& files, const Json& keys) {
    // A document without previousSha256 had nothing to back up: only a new setup helps then.
    require(hasBackupOfThisOrder(document, files), "Launcher-Wiederherstellung benötigt erneutes Setup.");
    verifyLauncherFile(files.backup, textMember(document, "previousEnvelope"), keys, true);
    require(copyThenMove(files.backup, files.recovery, files.installed),
            "Vorheriger Launcher konnte nicht wiederhergestellt werden.");
    writeReceiptFrom(document, "previousEnvelope", files);
    writePhase(document, dataRoot, "restored");
}

// Another process recovers (a setup started from elsewhere): nothing runs from TESSARO.exe, so one move
// with replacement puts the ordered launcher in place. The launcher found there goes back if the new one
// fails its self-test; it is kept as a copy, since moving it aside would leave a moment without any
// TESSARO.exe, and a kill in that moment would leave the shortcuts pointing at nothing.
bool swapInNextLauncher(Json& document, const fs::path& dataRoot, const LauncherFiles& files) {
    const bool keepsPrevious = pathExists(files.installed);
    if (keepsPrevious && !copyFile(files.installed, files.recovery, false))
        return false;
    if (!moveFile(files.next, files.installed, replaceExisting))
        return false;
    if (runLauncherSelfTest(files.installed, dataRoot, "")) {
        writeReceiptFrom(document, "envelope", files);
        writePhase(document, dataRoot, "complete");
        deleteFile(files.recovery);
        return true;
    }
    if (keepsPrevious)
        moveFile(files.recovery, files.installed, replaceExisting);
    return false;
}

// Windows renames a running executable but neither replaces nor deletes it, so the installed launcher
// cannot swap its own file without such a moment either. It hands the order to the order's own helper
// instead, started as a launcher update starts it: the helper waits until this process has ended and
// swaps over a TESSARO.exe that no longer runs. Until then the launcher in place serves this start.
bool handOverToReplacementHelper(const Json& document, const fs::path& installRoot, const Json& keys) {
    const fs::path staged = extendedPath(fs::path(toWide(document.at("file").get<std::string>())), false);
    if (!pathExists(staged) || !isOrderedLauncher(document, staged, installRoot))
        return false;
    verifyLauncherFile(staged, textMember(document, "envelope"), keys, true);
    // A helper of this order that an earlier start left still waiting will do.
    if (!isProgramRunningFrom(staged))
        startReplacementHelper(staged);
    return true;
}

// A replacement without a backup (the launcher it found had no valid receipt) that stopped before or at
// the swap is carried out again while TESSARO.next.exe is still the ordered launcher.
bool retryInterruptedSwap(Json& document, const fs::path& installRoot, const fs::path& dataRoot,
                          const LauncherFiles& files, const Json& keys) {
    if (!pathExists(files.next) || fileHash(files.next) != document.at("sha256").get<std::string>())
        return false;
    verifyLauncherFile(files.next, textMember(document, "envelope"), keys, true);
    if (sameEntry(executablePath(), files.installed))
        return handOverToReplacementHelper(document, installRoot, keys);
    return swapInNextLauncher(document, dataRoot, files);
}

// The copy of the previous launcher serves only the recovery that made it; one that an interrupted
// recovery (or an earlier launcher, which set its running file aside under this name) left goes, unless
// a process still runs from it.
void removeLeftoverRecoveryCopy(const LauncherFiles& files) {
    if (pathExists(files.recovery) && !sameEntry(executablePath(), files.recovery) &&
        !isProgramRunningFrom(files.recovery))
        deleteFile(files.recovery);
}

} // namespace

void runHelper(const std::string& helperMode, std::uint32_t parentProcessId) {
    require(parentProcessId != 0 && parentProcessId != ::GetCurrentProcessId(),
            "Ungültiger Installationsvorgang.");
    const auto deadline = std::chrono::steady_clock::now() + helperBudget;
    const fs::path installRoot = installRootPath();
    const fs::path dataRoot = dataRootPath();
    const bool replacing = helperMode == "--replace-launcher";
    // An uninstall that ran while this helper waited took the order with it; the helper must not stay
    // in the program folder the uninstall is about to remove.
    const fs::path order = extendedPath(launcherUpdateDocumentPath(dataRoot), false);
    KernelHandle instanceMutex = acquireHelperInstanceMutex(parentProcessId, deadline, [&] {
        try {
            return !replacing || pathExists(order);
        } catch (const fs::filesystem_error&) {
            return true; // an order that cannot be looked at is not known to be gone
        }
    });
    if (!instanceMutex)
        return;
    refuseReparsePoints(installRoot);
    refuseReparsePoints(dataRoot);
    if (replacing)
        replaceLauncher(installRoot, dataRoot);
    else if (helperMode == "--finish-uninstall")
        finishUninstall(installRoot, dataRoot, deadline);
}

SwapSteps diskSwapSteps() {
    return {flushFileToDisk, writeLauncherUpdateDocument};
}

void prepareSwap(const fs::path& newLauncher, const fs::path& installRoot, const fs::path& dataRoot,
                 Json& document, const SwapSteps& steps) {
    const LauncherFiles files(installRoot);
    require(copyFile(extendedPath(newLauncher, false), files.next, false) && steps.flush(files.next),
            "Launcherdatei konnte nicht vorbereitet werden.");
    backUpInstalledLauncher(document, files, builtinKeySet(), steps);
    writePhase(document, dataRoot, "replacing", steps);
}

void replaceLauncher(const fs::path& installRoot, const fs::path& dataRoot) {
    const fs::path documentPath = extendedPath(launcherUpdateDocumentPath(dataRoot), false);
    // An uninstall that ran while this helper waited took the order with it.
    if (!pathExists(documentPath))
        return;
    const StateDocument order = readStateDocument(documentPath, orderMembers);
    const fs::path self = executablePath();
    refuseReparsePoints(self);
    checkOrder(order, self, installRoot);
    Json document = order.content;
    const Json keys = builtinKeySet();
    verifyLauncherFile(self, textMember(document, "envelope"), keys, true);
    require(runLauncherSelfTest(self, dataRoot, textMember(document, "version")),
            "Neuer Launcher hat die Selbstprüfung nicht bestanden.");

    const LauncherFiles files(installRoot);
    prepareSwap(self, installRoot, dataRoot, document, diskSwapSteps());
    require(moveFile(files.next, files.installed, replaceExisting),
            "Launcher konnte nicht ausgetauscht werden; bisherige Version bleibt erhalten.");

    if (!runLauncherSelfTest(files.installed, dataRoot, ""))
        rollBack(document, dataRoot, files);
    writeReceiptFrom(document, "envelope", files);
    writePhase(document, dataRoot, "complete");
}

namespace {

// An order left "replacing" is resolved by the hashes of what is in place.
void resolveInterruptedReplacement(Json& document, const fs::path& installRoot, const fs::path& dataRoot) {
    if (textMember(document, "phase") != "replacing")
        return;

    const LauncherFiles files(installRoot);
    const Json keys = builtinKeySet();
    const bool installed = pathExists(files.installed);
    const std::string installedHash = installed ? fileHash(files.installed) : std::string();
    if (installed && installedHash == textMember(document, "previousSha256")) {
        verifyLauncherFile(files.installed, textMember(document, "previousEnvelope"), keys, true);
        writeReceiptFrom(document, "previousEnvelope", files);
        writePhase(document, dataRoot, "restored");
        return;
    }
    if (installed && installedHash == document.at("sha256").get<std::string>()) {
        verifyLauncherFile(files.installed, textMember(document, "envelope"), keys, true);
        if (runLauncherSelfTest(files.installed, dataRoot, "")) {
            writeReceiptFrom(document, "envelope", files);
            writePhase(document, dataRoot, "complete");
            return;
        }
    }
    if (!document.contains("previousSha256") &&
        retryInterruptedSwap(document, installRoot, dataRoot, files, keys))
        return;
    restoreBackup(document, dataRoot, files, keys);
}

} // namespace

fs::path recoverLauncher() {
    const fs::path installRoot = installRootPath();
    const fs::path dataRoot = dataRootPath();
    removeLeftoverRecoveryCopy(LauncherFiles(installRoot));
    const StateDocument order =
        readStateDocument(extendedPath(launcherUpdateDocumentPath(dataRoot), false), orderMembers);
    // An order that cannot be read names no launcher to finish or to bring back, so the launcher in place
    // stays as it is, as with no order at all (setup puts one in place when there is none).
    if (order.damaged()) {
        setAsideDamagedDocument(order.path);
        return order.path;
    }
    Json document = order.content;
    resolveInterruptedReplacement(document, installRoot, dataRoot);
    return {};
}

} // namespace tess
