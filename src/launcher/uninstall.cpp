#include "launcher/uninstall.hpp"

#include "activation/launch.hpp"
#include "activation/process.hpp"
#include "client/client.hpp"
#include "foundation/changes.hpp"
#include "foundation/crypto.hpp"
#include "foundation/disk.hpp"
#include "foundation/error.hpp"
#include "foundation/files.hpp"
#include "foundation/handles.hpp"
#include "foundation/identity.hpp"
#include "foundation/paths.hpp"
#include "foundation/text.hpp"
#include "foundation/tree.hpp"
#include "launcher/launcher_verify.hpp"
#include "launcher/setup.hpp"

#include <windows.h>

#include <string>
#include <vector>

namespace tess {
namespace fs = std::filesystem;
namespace {

bool isLauncherOrReceipt(const std::wstring& name) {
    return name == L"TESSARO.exe" || name == L"launcher-receipt.json";
}

// Entries kept in installRoot by the first stage: the running launcher, the folder of staged launchers,
// and the launcher's receipt, so that a repeated uninstall after a failed helper needs no portal.
bool keptByFirstStage(const std::wstring& name) {
    return isLauncherOrReceipt(name) || name == L"updater";
}

void removeShortcut(REFKNOWNFOLDERID folder, const fs::path& relative) {
    const std::optional<fs::path> base = knownFolderPath(folder);
    if (!base)
        return;
    const fs::path shortcut = *base / relative;
    removeEntry(shortcut);
}

// The helper folder is the parent of dataRoot: outside both folders that the helper removes.
fs::path helperFolderOf(const fs::path& dataRoot) {
    return dataRoot.parent_path();
}

void startUninstallHelper(const fs::path& helper) {
    // Not waited for: the helper waits for this process instead.
    StartedProcess started = startProcess(
        helper, {L"--finish-uninstall", L"--parent-pid", std::to_wstring(::GetCurrentProcessId())}, true);
}

bool isAdmissibleHelper(const fs::path& executable, const fs::path& dataRoot) {
    bool inHelperFolder = sameEntry(executable.parent_path(), helperFolderOf(dataRoot));
    const std::wstring name = executable.filename().native();
    return inHelperFolder && name.size() >= 10 && name.starts_with(L"uninstall-");
}

// Marked while it still runs; whether and when Windows deletes the file is not checked.
void markSelfForDeletion(const fs::path& executable) {
    FileHandle self(::CreateFileW(extendedPath(executable, false).c_str(), DELETE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
    if (!self)
        return;
    FILE_DISPOSITION_INFO disposition{TRUE};
    beforeChange("SetFileInformationByHandle", executable);
    ::SetFileInformationByHandle(self.get(), FileDispositionInfo, &disposition, sizeof disposition);
}

fs::path helperReceiptPath(const fs::path& helper) {
    return fs::path(helper.native() + L".receipt.json");
}

// The receipts of helper copies that an interrupted uninstall left: the signed release of this launcher
// as well, and the second stage removes the launcher's own receipt before the launcher.
std::vector<fs::path> helperReceipts(const fs::path& dataRoot) {
    std::vector<fs::path> receipts;
    for (const TreeEntry& entry : listFolder(helperFolderOf(dataRoot))) {
        const std::wstring& name = entry.relative.native();
        if (!entry.directory && name.starts_with(L"uninstall-") && name.ends_with(L".exe.receipt.json"))
            receipts.push_back(entry.path);
    }
    return receipts;
}

// Helper copies with their receipts that a failed first stage left behind, except the new helper; a
// copy that still runs is a second stage at work and stays. The receipt goes first: a copy left without
// it is removed next time, a receipt left without its copy would never be.
void removeIdleHelperCopies(const fs::path& dataRoot, const fs::path& newHelper) {
    const fs::path folder = helperFolderOf(dataRoot);
    for (const TreeEntry& entry : listFolder(folder)) {
        const std::wstring& name = entry.relative.native();
        if (entry.directory || !name.starts_with(L"uninstall-") || !name.ends_with(L".exe") ||
            name == newHelper.filename().native())
            continue;
        const fs::path copy = folder / name;
        if (isProgramRunningFrom(copy))
            continue;
        deleteFile(extendedPath(helperReceiptPath(copy), false));
        deleteFile(extendedPath(copy, false));
    }
}

// A running executable cannot be removed on Windows: removing the program folder before such a helper
// ended would stop halfway, with the entry and shortcuts already gone.
void awaitOtherHelpers(const fs::path& installRoot, std::chrono::steady_clock::time_point deadline) {
    while (isProgramRunningFrom(installRoot)) {
        require(std::chrono::steady_clock::now() < deadline, "Anderer Installationshelfer läuft noch.");
        ::Sleep(500);
    }
}

} // namespace

void Client::uninstall() {
    require(!isApplicationRunning(0), "TESSARO vor der Deinstallation regulär beenden.");
    refuseReparsePoints(installRoot);
    refuseReparsePoints(dataRoot);
    refuseLinksInTree(installRoot);
    refuseLinksInTree(dataRoot);

    const fs::path helper = helperFolderOf(dataRoot) / toWide("uninstall-" + randomId() + ".exe");
    const fs::path executable = executablePath();
    // After an interrupted second stage the helper copies' receipts may be all that is left of this
    // launcher's release: the uninstall is repeated offline, and they go only once the new one is written.
    const std::string envelope = currentLauncherRelease(installRoot, executable, helperReceipts(dataRoot));
    verifyLauncherFile(executable, envelope, builtinKeySet(), true);
    require(copyFile(extendedPath(executable, false), extendedPath(helper, false), true),
            "Deinstallation konnte nicht vorbereitet werden.");
    if (!envelope.empty())
        writeFileDurably(helperReceiptPath(helper), envelope);
    removeIdleHelperCopies(dataRoot, helper);

    for (const TreeEntry& entry : listFolder(installRoot))
        if (!keptByFirstStage(entry.relative.native()))
            removeTree(entry.path);
    for (const TreeEntry& entry : listFolder(dataRoot))
        removeTree(entry.path);
    ensurePrivateDirectory(dataRoot / L"receipts");

    deleteRegistryTree(HKEY_CURRENT_USER, uninstallRegistryKey);
    removeShortcut(FOLDERID_Programs, L"CORVALIS\\TESSARO.lnk");
    removeShortcut(FOLDERID_Desktop, L"TESSARO.lnk");

    startUninstallHelper(helper);
    if (progress.report)
        progress.report("Programmversionen entfernt. Bitte dieses Fenster schließen, um die Deinstallation "
                        "abzuschließen. Projekte, Konten und Lizenzdaten bleiben erhalten.",
                        0, 0);
}

void finishUninstall(const fs::path& installRoot, const fs::path& dataRoot,
                     std::chrono::steady_clock::time_point deadline) {
    const fs::path executable = executablePath();
    require(isAdmissibleHelper(executable, dataRoot), "Unzulässiger Deinstallationshelfer.");
    const fs::path receipt = helperReceiptPath(executable);
    verifyLauncherFile(executable, readFileBounded(receipt, maxDocumentBytes), builtinKeySet(), true);
    require(!isApplicationRunning(0), "TESSARO läuft noch.");
    awaitOtherHelpers(installRoot, deadline);

    // The launcher and its receipt go last: until then a user who finds an interrupted uninstall can
    // start it again; a launcher removed first would leave the rest without a way to finish. This
    // helper's receipt outlives both, so that a repeat finds the launcher's release without the portal.
    refuseLinksInTree(installRoot);
    refuseLinksInTree(dataRoot);
    if (pathExists(dataRoot))
        removeTree(dataRoot);
    for (const TreeEntry& entry : listFolder(installRoot))
        if (!isLauncherOrReceipt(entry.relative.native()))
            removeTree(entry.path);
    removeEntry(launcherReceiptPath(installRoot));
    removeEntry(installRoot / L"TESSARO.exe");
    removeTree(installRoot);
    removeEntry(receipt);
    markSelfForDeletion(executable);
}

} // namespace tess
