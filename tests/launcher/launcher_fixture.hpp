// Shared ground of the launcher tests: the signed launcher variants made before the tests run, the
// user's real launcher folders (reset around every test), the stand-ins' reports and waits for helpers.
#pragma once

#include "foundation/crypto.hpp"
#include "foundation/files.hpp"
#include "foundation/handles.hpp"
#include "foundation/identity.hpp"
#include "foundation/json.hpp"
#include "foundation/paths.hpp"
#include "foundation/text.hpp"
#include "foundation/tree.hpp"
#include "launcher/setup.hpp"
#include "launcher/update.hpp"
#include "portal/devportal.hpp"
#include "support/links.hpp"
#include "support/test_support.hpp"

#include <windows.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tess::test {
namespace fs = std::filesystem;

// Variants (see launcher_variants.py): tessaro-1.0.2, tessaro-1.0.3, tessaro-1.0.2.9, tessaro-0.9.9,
// tessaro-1.0.2-signed-only, driver, standin-1.0.3.
inline fs::path variantFolder(const std::string& name) {
    return binaryDir() / L"launcher-tests" / L"variants" / toWide(name) / L"launcher";
}
inline fs::path variantExe(const std::string& name) {
    return variantFolder(name) / L"TESSARO-Setup.exe";
}
inline std::string variantEnvelope(const std::string& name) {
    return readBytes(variantFolder(name) / L"manifest.json");
}
inline std::string variantBytes(const std::string& name) {
    return readBytes(variantExe(name));
}
inline std::string variantSha(const std::string& name) {
    return sha256FileHex(variantExe(name), nullptr, {});
}

inline fs::path installRoot() {
    return installRootPath();
}
inline fs::path dataRoot() {
    return dataRootPath();
}
inline fs::path helperFolder() {
    return dataRootPath().parent_path();
}
inline fs::path installedLauncher() {
    return installRoot() / L"TESSARO.exe";
}
inline fs::path launcherReceipt() {
    return installRoot() / L"launcher-receipt.json";
}
inline fs::path updateDocument() {
    return dataRoot() / L"launcher-update.json";
}
inline fs::path parkedLinkFolder() {
    return linksRoot() / L"launcher-parked";
}
inline fs::path startMenuShortcut() {
    return *knownFolderPath(FOLDERID_Programs) / L"CORVALIS" / L"TESSARO.lnk";
}
inline fs::path desktopShortcut() {
    return *knownFolderPath(FOLDERID_Desktop) / L"TESSARO.lnk";
}
// Downloads as wineboot makes it: a link to the home's folder, as on Windows after a move and mklink /J.
inline fs::path linkedDownloads() {
    const fs::path folder = *knownFolderPath(FOLDERID_Downloads);
    const DWORD attributes = ::GetFileAttributesW(folder.c_str());
    EXPECT_TRUE(attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        << "Downloads is no link: the prefix was not made as wineboot makes it";
    return folder;
}
inline fs::path reportFolder() {
    return binaryDir() / L"launcher-tests" / L"reports";
}

inline bool present(const fs::path& path) {
    return ::GetFileAttributesW(extendedPath(path, false).c_str()) != INVALID_FILE_ATTRIBUTES;
}

inline std::vector<std::wstring> entriesOf(const fs::path& folder) {
    std::vector<std::wstring> names;
    if (!present(folder))
        return names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().native());
    std::sort(names.begin(), names.end());
    return names;
}

inline Json readDocument(const fs::path& path) {
    return parse(readBytes(path));
}

inline void copyFile(const fs::path& from, const fs::path& to) {
    createDirectories(to.parent_path());
    if (!::CopyFileW(from.c_str(), to.c_str(), FALSE))
        throw std::runtime_error("copy failed: " + toUtf8(to.native()));
}

// The installed launcher of a variant with its receipt.
inline void installVariant(const std::string& name, bool withReceipt = true) {
    copyFile(variantExe(name), installedLauncher());
    if (withReceipt)
        writeFileDurably(launcherReceipt(), variantEnvelope(name));
}

inline fs::path stageVariant(const std::string& name) {
    fs::path staged = stagedLauncherPath(installRoot(), variantSha(name));
    copyFile(variantExe(name), staged);
    return staged;
}

// The document setup writes for a staged launcher (no phase).
inline Json setupDocument(const std::string& name, const fs::path& staged, const std::string& version) {
    return {{"envelope", variantEnvelope(name)},
            {"file", toUtf8(staged.native())},
            {"sha256", variantSha(name)},
            {"version", version}};
}

inline void removeShortcutsAndEntry() {
    for (const fs::path& shortcut : {startMenuShortcut(), desktopShortcut()})
        ::DeleteFileW(shortcut.c_str());
    ::RegDeleteTreeW(HKEY_CURRENT_USER, uninstallRegistryKey);
}

// A folder parked in the program or data folder by a test goes back where the link fixture keeps it.
inline void returnParkedLinks() {
    for (const fs::path& root : {installRoot(), dataRoot()}) {
        fs::path parked = root / L"parked";
        if (present(parked))
            ::MoveFileExW(parked.c_str(), parkedLinkFolder().c_str(), 0);
    }
}

inline void removeHelperCopies() {
    for (const std::wstring& name : entriesOf(helperFolder()))
        if (name.starts_with(L"uninstall-") || name.starts_with(L"renamed"))
            ::DeleteFileW((helperFolder() / name).c_str());
}

// The launcher release the development portal serves ("/software/bootstrap/manifest" and its file).
inline fs::path servedLauncherFolder() {
    return devportal::stateDir() / L"data" / L"launcher";
}
inline void withdrawLauncher() {
    ::DeleteFileW((servedLauncherFolder() / L"manifest.json").c_str());
    ::DeleteFileW((servedLauncherFolder() / L"TESSARO-Setup.exe").c_str());
}
inline void offerVariant(const std::string& name) {
    withdrawLauncher();
    copyFile(variantExe(name), servedLauncherFolder() / L"TESSARO-Setup.exe");
    copyFile(variantFolder(name) / L"manifest.json", servedLauncherFolder() / L"manifest.json");
}

// Removes a folder that programs a case started, and awaited, ran from. Wine lets an ended process keep
// its folder for a moment after its handle was signalled (a clean clone once failed here with a sharing
// violation on installRoot); on Windows the folder is free once the process has ended.
inline void removeTreeOfEndedPrograms(const fs::path& root) {
    for (int attempt = 1;; ++attempt) {
        try {
            removeTree(root);
            return;
        } catch (const fs::filesystem_error&) {
            if (attempt == 20)
                throw;
            ::Sleep(250);
        }
    }
}

// The user's launcher folders, shortcuts and uninstall entry start empty and are emptied afterwards.
class UserState {
  public:
    UserState() { reset(); }
    ~UserState() {
        try {
            reset();
        } catch (...) {
        }
    }
    UserState(const UserState&) = delete;
    UserState& operator=(const UserState&) = delete;

    static void reset() {
        returnParkedLinks();
        removeTreeOfEndedPrograms(installRoot());
        removeTreeOfEndedPrograms(dataRoot());
        removeHelperCopies();
        removeShortcutsAndEntry();
        devportal::reset();
        withdrawLauncher();
        removeTree(reportFolder());
        fs::create_directories(reportFolder());
        ::SetEnvironmentVariableW(L"TESSARO_TEST_REPORT_DIR", reportFolder().c_str());
    }
};

// What a stand-in reported (see launcher_test_report.hpp); nullopt when it wrote nothing.
inline std::optional<Json> standInReport(const std::wstring& name) {
    fs::path file = reportFolder() / name;
    if (!present(file))
        return std::nullopt;
    return readDocument(file);
}

inline std::wstring quoted(const fs::path& path) {
    return L"\"" + path.native() + L"\"";
}

// The id of a process that has already ended: a helper given it as parent does not wait.
inline std::uint32_t endedProcessId() {
    ChildProcess child = startChild(quoted(binaryDir() / L"bin" / L"launcher_standin.exe"));
    child.wait(60000);
    return child.id;
}

inline ChildProcess startHelper(const fs::path& exe, const std::wstring& mode, std::uint32_t parent) {
    return startChild(quoted(exe) + L" " + mode + L" --parent-pid " + std::to_wstring(parent));
}

// Runs one launcher operation of the driver from where it lies; the exit code, or nullopt on a time-out.
inline std::optional<DWORD> runDriver(const fs::path& driver, const std::wstring& operation) {
    ChildProcess child = startChild(quoted(driver) + L" " + operation);
    return child.wait(120000);
}

// Handles of the running processes whose executable name starts with the prefix.
inline std::vector<KernelHandle> processesNamed(const std::wstring& prefix) {
    std::vector<KernelHandle> found;
    KernelHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot || snapshot.get() == INVALID_HANDLE_VALUE)
        return found;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more;
         more = ::Process32NextW(snapshot.get(), &entry)) {
        if (std::wstring(entry.szExeFile).starts_with(prefix)) {
            KernelHandle process(
                ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID));
            if (process)
                found.push_back(std::move(process));
        }
    }
    return found;
}

// Waits until no process of that name prefix runs any more; false on a time-out.
inline bool waitForProcessesToEnd(const std::wstring& prefix, DWORD timeoutMs) {
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    for (;;) {
        std::vector<KernelHandle> running = processesNamed(prefix);
        if (running.empty())
            return true;
        for (const KernelHandle& process : running) {
            ULONGLONG now = ::GetTickCount64();
            if (now >= deadline)
                return false;
            ::WaitForSingleObject(process.get(), static_cast<DWORD>(deadline - now));
        }
    }
}

// Holds the per-user single-instance mutex like a running version manager.
class InstanceMutexHolder {
  public:
    InstanceMutexHolder() : mutex_(acquireInstanceMutex()) {}
    void release() { mutex_.reset(); }

  private:
    KernelHandle mutex_;
};

} // namespace tess::test
