// The kill-point sweep. Each operation of the table is prepared once with the real program; then, for
// n = 1, 2, ..., its launcher-owned places are put back to that state, the kill-point TESSARO.exe runs
// the operation and ends itself before its n-th change of the disk or the registry, and the user's next
// step follows (start the launcher, repeat the operation). A kill point is recovered when every state
// document still parses, that next step reaches a sound end, nothing outside the launcher's places
// changed and the user's own data is kept. The sweep of an operation ends at the first n that the
// operation does not reach. The last operation runs with the portal down: its next steps must not need it.
//   sweep_driver.exe SHARD SHARDS [OPERATION]
// (this process takes the kill points n with n % SHARDS == SHARD; with OPERATION only that one is swept,
// those before it run once to their end)
// Prints "<operation>: <n> kill points, <m> recovered" per operation and one "FAIL ..." line per kill
// point that was not recovered.
#include "activation/launch.hpp"
#include "client/client.hpp"
#include "foundation/crypto.hpp"
#include "foundation/disk.hpp"
#include "foundation/files.hpp"
#include "foundation/json.hpp"
#include "foundation/paths.hpp"
#include "foundation/text.hpp"
#include "foundation/tree.hpp"
#include "install/receipts.hpp"
#include "install/verify.hpp"
#include "launcher/launcher_verify.hpp"
#include "launcher/setup.hpp"
#include "launcher/update.hpp"
#include "portal/devportal.hpp"
#include "support/screenshot.hpp"
#include "support/test_support.hpp"
#include "support/window_probe.hpp"

#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace tess::test {
namespace {
namespace fs = std::filesystem;

constexpr int installButton = 110;
constexpr int uninstallButton = 113;
constexpr DWORD operationTimeoutMs = 180000;

const std::wstring stageOneDone = toWide("Programmversionen entfernt. Bitte dieses Fenster schließen, um die "
                                         "Deinstallation abzuschließen. Projekte, Konten und Lizenzdaten "
                                         "bleiben erhalten.");
const std::wstring initialStatus =
    toWide("Installierte Versionen sind auch ohne Internet startbar. Für neue Downloads bitte anmelden.");
const std::wstring installDone = toWide("TESSARO wurde erfolgreich gestartet.");
// The question's caption; the information boxes the sweep confirms with OK are all others.
const std::wstring uninstallQuestion = toWide("TESSARO deinstallieren");

fs::path sweepDir() {
    return binaryDir() / L"sweep";
}
// The kill-point launcher 1.0.2, which the sweep's portal serves as its launcher release.
fs::path setupFile() {
    return sweepDir() / L"bin" / L"TESSARO.exe";
}
// The kill-point launcher 1.0.3 with its signed release: the update the helper puts in place.
fs::path newLauncherFolder() {
    return sweepDir() / L"launcher-1.0.3" / L"launcher";
}
std::string releaseId(const char* name) {
    static const Json index = parse(readBytes(sweepDir() / L"portal-cache" / L"index.json"));
    return index.at(name).at("releaseId").get<std::string>();
}

fs::path installRoot() {
    return installRootPath();
}
fs::path dataRoot() {
    return dataRootPath();
}
fs::path installedLauncher() {
    return installRootPath() / L"TESSARO.exe";
}
fs::path helperFolder() {
    return dataRootPath().parent_path();
}
fs::path recoveryCopy() {
    return installRoot() / L"TESSARO.recovery.exe";
}
fs::path startMenuFolder() {
    return *knownFolderPath(FOLDERID_Programs) / L"CORVALIS";
}
fs::path desktopShortcut() {
    return *knownFolderPath(FOLDERID_Desktop) / L"TESSARO.lnk";
}
bool present(const fs::path& path) {
    return ::GetFileAttributesW(extendedPath(path, false).c_str()) != INVALID_FILE_ATTRIBUTES;
}
std::wstring quoted(const fs::path& path) {
    return L"\"" + path.native() + L"\"";
}

// Projects, local accounts and licence data where the application keeps them, outside both roots.
const std::vector<std::pair<fs::path, std::string>>& userData() {
    static const std::vector<std::pair<fs::path, std::string>> files = {
        {*knownFolderPath(FOLDERID_Documents) / L"TESSARO" / L"Projekte" / L"Brücke.tproj", "projekt"},
        {*knownFolderPath(FOLDERID_RoamingAppData) / L"CORVALIS" / L"TESSARO" / L"konten.json", "{}"},
        {localAppDataPath() / L"CORVALIS" / L"Lizenzen" / L"lizenz.dat", "lizenz"},
    };
    return files;
}

// ---- the launcher-owned places: kept aside after a preparation, put back before every kill point ----

struct RegistryValue {
    std::wstring name;
    DWORD type;
    std::string data;
};

std::optional<std::vector<RegistryValue>> readUninstallEntry() {
    RegistryKey key;
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, uninstallRegistryKey, 0, KEY_READ, key.put()) != ERROR_SUCCESS)
        return std::nullopt;
    std::vector<RegistryValue> values;
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        DWORD nameLength = 256, type = 0, size = 4096;
        std::string data(size, '\0');
        if (::RegEnumValueW(key.get(), index, name, &nameLength, nullptr, &type,
                            reinterpret_cast<BYTE*>(data.data()), &size) != ERROR_SUCCESS)
            break;
        data.resize(size);
        values.push_back({std::wstring(name, nameLength), type, data});
    }
    return values;
}

void writeUninstallEntry(const std::optional<std::vector<RegistryValue>>& values) {
    ::RegDeleteTreeW(HKEY_CURRENT_USER, uninstallRegistryKey);
    if (!values)
        return;
    RegistryKey key;
    ::RegCreateKeyExW(HKEY_CURRENT_USER, uninstallRegistryKey, 0, nullptr, 0, KEY_WRITE, nullptr, key.put(),
                      nullptr);
    for (const RegistryValue& value : *values)
        ::RegSetValueExW(key.get(), value.name.c_str(), 0, value.type,
                         reinterpret_cast<const BYTE*>(value.data.data()),
                         static_cast<DWORD>(value.data.size()));
}

void copyTree(const fs::path& from, const fs::path& to) {
    if (!present(from))
        return;
    if (!isDirectory(from)) {
        createDirectories(to.parent_path());
        ::CopyFileW(extendedPath(from, false).c_str(), extendedPath(to, false).c_str(), FALSE);
        return;
    }
    createDirectories(to);
    walkTree(from, [&to](const TreeEntry& entry) {
        const fs::path target = extendedPath(to / entry.relative, false);
        if (entry.directory)
            createDirectories(target);
        else
            ::CopyFileW(entry.path.c_str(), target.c_str(), FALSE);
    });
}

std::vector<fs::path> ownedPlaces() {
    return {installRoot(), helperFolder(), startMenuFolder(), desktopShortcut()};
}

struct Snapshot {
    fs::path folder;
    std::optional<std::vector<RegistryValue>> entry;
};

Snapshot keep(const fs::path& folder) {
    removeTree(folder);
    const std::vector<fs::path> places = ownedPlaces();
    for (size_t index = 0; index < places.size(); ++index)
        copyTree(places[index], folder / std::to_wstring(index));
    return {folder, readUninstallEntry()};
}

void putBack(const Snapshot& snapshot) {
    const std::vector<fs::path> places = ownedPlaces();
    for (size_t index = 0; index < places.size(); ++index) {
        // The desktop shortcut lies in a linked folder, which a tree removal refuses.
        if (present(places[index]) && !isDirectory(places[index]))
            ::DeleteFileW(places[index].c_str());
        removeTree(places[index]);
        copyTree(snapshot.folder / std::to_wstring(index), places[index]);
    }
    writeUninstallEntry(snapshot.entry);
}

// Relative path -> SHA-256 of every file below the user's folders except the launcher-owned places and
// the temporary folder (the sweep's own files lie there).
std::map<std::wstring, std::string> outsideFiles() {
    std::vector<std::wstring> skipped;
    for (const fs::path& place : ownedPlaces())
        skipped.push_back(foldAsciiCase(extendedPath(place, true).native()));
    skipped.push_back(foldAsciiCase(extendedPath(localAppDataPath() / L"Temp", true).native()));
    std::map<std::wstring, std::string> files;
    for (REFKNOWNFOLDERID id :
         {FOLDERID_LocalAppData, FOLDERID_RoamingAppData, FOLDERID_Desktop, FOLDERID_Documents}) {
        const fs::path root = *knownFolderPath(id);
        walkTree(root, [&](const TreeEntry& entry) {
            const std::wstring folded = foldAsciiCase(entry.path.native());
            for (const std::wstring& skip : skipped)
                if (folded == skip || folded.starts_with(skip + L"\\"))
                    return;
            // Read directly: the desktop and the documents are links, which the file hash refuses.
            if (!entry.directory)
                files[entry.path.native()] = sha256Hex(readBytes(entry.path));
        });
    }
    return files;
}

// ---- running TESSARO as the user does ----

// Progress for the shard's log, indented so that the summary ignores it.
void trace(const std::string& text) {
    static const ULONGLONG began = ::GetTickCount64();
    std::printf("  %6.1f %s\n", (::GetTickCount64() - began) / 1000.0, text.c_str());
}

// Starts a program; with n > 0 it alone ends itself before its n-th change.
ChildProcess start(const std::wstring& commandLine, std::uint64_t n, const fs::path& report) {
    trace("start " + toUtf8(commandLine) + " n=" + std::to_string(n));
    ::DeleteFileW(report.c_str());
    if (n > 0) {
        ::SetEnvironmentVariableW(L"TESSARO_KILL_POINT", std::to_wstring(n).c_str());
        ::SetEnvironmentVariableW(L"TESSARO_KILL_REPORT", report.c_str());
    }
    ChildProcess child = startChild(commandLine);
    ::SetEnvironmentVariableW(L"TESSARO_KILL_POINT", nullptr);
    ::SetEnvironmentVariableW(L"TESSARO_KILL_REPORT", nullptr);
    return child;
}

// The text of an open message box, which is then confirmed; empty when none is open.
std::wstring confirmMessageBox(int button = IDOK) {
    HWND box = ::FindWindowW(L"#32770", nullptr);
    HWND text = box ? ::GetDlgItem(box, 0xFFFF) : nullptr;
    if (!text || box == ::FindWindowW(L"#32770", uninstallQuestion.c_str()))
        return {};
    wchar_t buffer[4096] = {};
    ::SendMessageW(text, WM_GETTEXT, 4096, reinterpret_cast<LPARAM>(buffer));
    ::PostMessageW(box, WM_COMMAND, static_cast<WPARAM>(button), 0);
    waitUntil([box] { return !::IsWindow(box); }, 5000);
    return buffer[0] ? buffer : L"(message box)";
}

// Every thread of every process in the prefix, for finding out why an operation hung (Wine's debugger;
// on Windows the command fails and nothing is written).
void writeDownThreads(const fs::path& file) {
    ChildProcess dump = startChild(L"cmd.exe /c winedbg --command \"bt all\" > " + quoted(file) + L" 2>&1");
    dump.wait(120000);
}

// Notes once a manager window of another process than the sweep's own, for the log: under Wine the
// sweep once found such a window first, with the start status, while its own showed the first stage's
// end.
void noteOtherManagerWindow(HWND ours, bool& noted) {
    HWND first = findManagerWindow(0);
    DWORD owner = 0;
    if (!noted && ours && first && first != ours && ::GetWindowThreadProcessId(first, &owner)) {
        trace("a manager window of process " + std::to_string(owner) + " besides ours");
        noted = true;
    }
}

// Lets the process run to its end: message boxes are confirmed (their texts collected) and a manager
// window is closed once done(window) holds. Returns the collected texts; "timeout" when it hung.
std::wstring runToEnd(ChildProcess& child, const std::function<bool(HWND)>& done) {
    std::wstring seen;
    int doneChecks = 0;
    bool otherNoted = false;
    const ULONGLONG deadline = ::GetTickCount64() + operationTimeoutMs;
    while (!child.wait(100)) {
        if (::GetTickCount64() > deadline) {
            if (HWND window = findManagerWindowOf(child.id)) {
                seen += L"{" + statusText(window) + L"} ";
                saveScreenshot(window, sweepDir() / L"timeout.png");
            }
            writeDownThreads(sweepDir() / L"timeout-threads.txt");
            child.terminate();
            child.wait(10000);
            return seen + L" timeout";
        }
        const std::wstring box = confirmMessageBox();
        if (!box.empty())
            trace("message box: " + toUtf8(box));
        if (!box.empty())
            seen += L"[" + box + L"] ";
        HWND window = findManagerWindowOf(child.id);
        noteOtherManagerWindow(window, otherNoted);
        if (window && done(window) && ++doneChecks >= 3) {
            seen += L"{" + statusText(window) + L"} ";
            trace("closing the manager: " + toUtf8(statusText(window)));
            ::PostMessageW(window, WM_CLOSE, 0, 0);
            doneChecks = -1000;
        }
    }
    trace("ended");
    return seen;
}

// Idle: the install button is enabled (an operation disables it).
bool managerIdle(HWND window) {
    return isEnabled(window, installButton);
}
// The operation started with the window has ended: idle with another status than the first one.
bool startupOperationEnded(HWND window) {
    return managerIdle(window) && statusText(window) != initialStatus;
}

// Under Wine a program whose starter was ended while Wine was still setting it up can stay half
// started for good (on Windows it runs, finds no launcher and ends); it then blocks every check for a
// running application of the program folder. The user ends it, as any application left behind.
void endProgramsOfVersions() {
    const fs::path releases = installRoot() / L"releases";
    std::vector<wchar_t> image(32768);
    KernelHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more;
         more = ::Process32NextW(snapshot.get(), &entry)) {
        KernelHandle process(
            ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE, FALSE, entry.th32ProcessID));
        DWORD length = static_cast<DWORD>(image.size());
        if (process && ::QueryFullProcessImageNameW(process.get(), 0, image.data(), &length) &&
            foldAsciiCase(std::wstring(image.data(), length)).starts_with(foldAsciiCase(releases.native())))
            ::TerminateProcess(process.get(), 1);
    }
}

void awaitQuiet() {
    if (!waitUntil([] { return !isApplicationRunning(0); }, 30000))
        endProgramsOfVersions();
}

// Running processes whose executable name starts with the prefix.
std::vector<DWORD> processesNamed(const std::wstring& prefix) {
    std::vector<DWORD> found;
    KernelHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more;
         more = ::Process32NextW(snapshot.get(), &entry))
        if (std::wstring(entry.szExeFile).starts_with(prefix))
            found.push_back(entry.th32ProcessID);
    return found;
}

// The id of a process that has ended: a helper given it as its parent does not wait.
std::uint32_t endedProcessId() {
    ChildProcess child = startChild(L"cmd.exe /c exit");
    child.wait(60000);
    return child.id;
}

// ---- what the user sees afterwards ----

Json document(const fs::path& path) {
    return loadJsonOr(path, Json::object());
}

// Every JSON document the launcher keeps (not the program files of a version) still parses; the first
// that does not, or empty.
std::string brokenDocument() {
    for (const fs::path& root : {installRoot(), helperFolder()}) {
        std::string broken;
        if (present(root))
            walkTree(root, [&broken](const TreeEntry& entry) {
                const bool programFile = entry.relative.begin()->native() == L"releases";
                if (!entry.directory && !programFile && entry.path.extension() == L".json" &&
                    broken.empty()) {
                    try {
                        parse(readBytes(entry.path));
                    } catch (const std::exception&) {
                        broken = "document does not parse: " + toUtf8(entry.relative.native());
                    }
                }
            });
        if (!broken.empty())
            return broken;
    }
    return {};
}

// The active version confirmed its start and its files verify.
std::string activeVersionRuns() {
    const Json current = document(dataRoot() / L"current.json");
    const std::string active = current.value("active", std::string());
    if (active.empty() || current.value("pending", true) ||
        current.value("lastGood", std::string()) != active)
        return "no confirmed start in current.json: " + current.dump();
    try {
        Client client;
        verifyFiles(installRoot() / L"releases" / toWide(active), loadReceipt(client, active), true, true,
                    nullptr);
    } catch (const std::exception& e) {
        return "active version does not verify: " + std::string(e.what());
    }
    return {};
}

// The user starts the installed launcher: it must start the active version and end.
std::string startLauncher() {
    if (!present(installedLauncher()))
        return "no launcher installed";
    awaitQuiet();
    trace("the user starts the launcher");
    ChildProcess launcher = startChild(quoted(installedLauncher()));
    const std::wstring seen = runToEnd(launcher, managerIdle);
    awaitQuiet();
    if (!seen.empty())
        return "launcher start: " + toUtf8(seen);
    return activeVersionRuns();
}

// The installed launcher matches its receipt, a signed launcher release.
std::string launcherVerifies() {
    try {
        verifyLauncherFile(installedLauncher(), readBytes(launcherReceiptPath(installRoot())),
                           builtinKeySet(), true);
    } catch (const std::exception& e) {
        return "installed launcher does not verify: " + std::string(e.what());
    }
    return {};
}

// The install sequence from the manager (--install id) until its window is idle again.
std::wstring install(const fs::path& launcher, const char* name, std::uint64_t n, const fs::path& report) {
    awaitQuiet();
    ChildProcess manager = start(quoted(launcher) + L" --install " + toWide(releaseId(name)), n, report);
    const std::wstring seen = runToEnd(manager, startupOperationEnded);
    awaitQuiet();
    return seen;
}

std::string installCompletes(const fs::path& launcher, const char* name) {
    const std::wstring seen = install(launcher, name, 0, {});
    if (seen.find(installDone) == std::wstring::npos)
        return "repeated install did not complete: " + toUtf8(seen);
    return activeVersionRuns();
}

// Presses the uninstall button as a click reaches the window (its notification), and confirms the
// question. A posted BM_CLICK, which emulates a mouse press and so needs focus and capture, was seen to
// leave a manager of the sweep idle for minutes without the question ever appearing.
bool pressUninstallAndConfirm(HWND window) {
    ::PostMessageW(window, WM_COMMAND, MAKEWPARAM(uninstallButton, BN_CLICKED),
                   reinterpret_cast<LPARAM>(::GetDlgItem(window, uninstallButton)));
    const bool asked = answerMessageBox(uninstallQuestion, IDYES, 10000).has_value();
    trace(asked ? "uninstall confirmed" : "no uninstall question");
    return asked;
}

// Uninstall in the manager: the button, the question, the first stage; the helper then finishes.
std::wstring uninstall(std::uint64_t n, const fs::path& report) {
    // The manager's handle is closed before the helper is awaited: under Wine a process that ended still
    // shows in process snapshots while a handle to it is open (on Windows it does not), and the helper
    // waits for every program started from the program folder to end.
    std::optional<ChildProcess> manager(start(quoted(installedLauncher()) + L" --manage", n, report));
    bool asked = false;
    std::wstring before;
    const std::wstring seen = runToEnd(*manager, [&asked, &before](HWND window) {
        if (!asked && managerIdle(window)) {
            before = statusText(window);
            asked = pressUninstallAndConfirm(window);
            return false;
        }
        // The window stays idle for a moment after the answer, until the uninstall begins: idle counts
        // as an end only once the status changed (a refusal).
        const std::wstring status = statusText(window);
        return asked && (status == stageOneDone || (managerIdle(window) && status != before));
    });
    manager.reset();
    waitUntil([] { return processesNamed(L"uninstall-").empty(); }, 120000);
    return seen;
}

// Nothing of the launcher is left: no files in either root, no shortcuts, no uninstall entry. Empty
// folders and helper copies marked for deletion may stay.
std::string leftOver() {
    std::string found;
    for (const fs::path& root : {installRoot(), dataRoot()})
        if (present(root))
            walkTree(root, [&found](const TreeEntry& entry) {
                if (!entry.directory && found.empty())
                    found = toUtf8(entry.path.native());
            });
    if (found.empty() && present(startMenuFolder() / L"TESSARO.lnk"))
        found = "start menu shortcut";
    if (found.empty() && present(desktopShortcut()))
        found = "desktop shortcut";
    if (found.empty() && readUninstallEntry())
        found = "uninstall entry";
    return found;
}

// A start may hand an interrupted launcher swap to the replacement helper, which carries it out once
// that start has ended.
void awaitReplacementHelpers() {
    waitUntil([] { return processesNamed(L"launcher-").empty(); }, 120000);
}

std::string uninstallCompletes() {
    if (leftOver().empty())
        return {};
    if (!present(installedLauncher()))
        return "half removed without a launcher to finish: " + leftOver();
    uninstall(0, {});
    const std::string left = leftOver();
    return left.empty() ? std::string() : "repeated uninstall left " + left;
}

// ---- the table ----

struct Operation {
    const char* name;
    // Brings the owned places into the operation's starting state (from the state before).
    std::function<void()> prepare;
    // Runs the operation with kill point n; returns what the user saw.
    std::function<std::wstring(std::uint64_t n, const fs::path& report)> run;
    // The user's next step and the invariants after it; empty when recovered.
    std::function<std::string()> recover;
    // The kill points and next steps run with the portal answering nothing but 503.
    bool portalDown = false;
};

std::map<std::wstring, std::string> treeHashes(const fs::path& root) {
    std::map<std::wstring, std::string> files;
    walkTree(root, [&files](const TreeEntry& entry) {
        if (!entry.directory)
            files[entry.relative.native()] = sha256FileHex(entry.path, nullptr, {});
    });
    return files;
}

void signIn() {
    Client client;
    client.acceptTokenResponse(devportal::issueTokens());
}

std::vector<Operation> operations(const ScratchFolder& scratch) {
    const fs::path setup = scratch / L"Downloads" / L"TESSARO-Setup.exe";
    static std::map<std::wstring, std::string> otherVersion;
    static std::string oldLauncher, newLauncher;
    return {
        {"install",
         [setup] {
             createDirectories(setup.parent_path());
             ::CopyFileW(setupFile().c_str(), setup.c_str(), FALSE);
             signIn();
         },
         [setup](std::uint64_t n, const fs::path& report) { return install(setup, "good", n, report); },
         [setup] {
             // Either the version starts, or the launcher knows of none and installing again completes.
             const std::string started = startLauncher();
             if (started.empty())
                 return started;
             if (present(installedLauncher()) &&
                 started.find("Bitte zuerst eine Softwareversion installieren") == std::string::npos)
                 return started;
             return installCompletes(setup, "good");
         }},
        {"switch", [] { installCompletes(installedLauncher(), "good"); },
         [](std::uint64_t n, const fs::path& report) {
             return install(installedLauncher(), "other", n, report);
         },
         [] {
             if (startLauncher().empty())
                 return std::string();
             return installCompletes(installedLauncher(), "other");
         }},
        {"repair",
         [] {
             installCompletes(installedLauncher(), "other");
             const fs::path good = installRoot() / L"releases" / toWide(releaseId("good"));
             otherVersion = treeHashes(installRoot() / L"releases" / toWide(releaseId("other")));
             walkTree(good, [](const TreeEntry& entry) {
                 if (!entry.directory && entry.relative.filename() != L"appTESSARO.exe")
                     writeBytes(entry.path, "beschädigt");
             });
         },
         [](std::uint64_t n, const fs::path& report) {
             return install(installedLauncher(), "good", n, report);
         },
         [] {
             const std::string repeated = installCompletes(installedLauncher(), "good");
             if (!repeated.empty())
                 return repeated;
             const bool untouched =
                 treeHashes(installRoot() / L"releases" / toWide(releaseId("other"))) == otherVersion;
             return untouched ? std::string() : std::string("the other version changed");
         }},
        {"replace",
         [] {
             installCompletes(installedLauncher(), "good");
             const fs::path file = newLauncherFolder() / L"TESSARO-Setup.exe";
             oldLauncher = sha256FileHex(installedLauncher(), nullptr, {});
             newLauncher = sha256FileHex(file, nullptr, {});
             const fs::path staged = stagedLauncherPath(installRoot(), newLauncher);
             createDirectories(staged.parent_path());
             ::CopyFileW(file.c_str(), staged.c_str(), FALSE);
             writeLauncherUpdateDocument(dataRoot(),
                                         {{"envelope", readBytes(newLauncherFolder() / L"manifest.json")},
                                          {"file", toUtf8(staged.native())},
                                          {"phase", "prepared"},
                                          {"sha256", newLauncher},
                                          {"version", "1.0.3"}});
         },
         [](std::uint64_t n, const fs::path& report) {
             ChildProcess helper =
                 start(quoted(stagedLauncherPath(installRoot(), newLauncher)) +
                           L" --replace-launcher --parent-pid " + std::to_wstring(endedProcessId()),
                       n, report);
             return runToEnd(helper, [](HWND) { return true; });
         },
         [] {
             const std::string started = startLauncher();
             if (!started.empty())
                 return started;
             const std::string hash = sha256FileHex(installedLauncher(), nullptr, {});
             if (hash != oldLauncher && hash != newLauncher)
                 return std::string("the installed launcher is neither the old nor the new one");
             return launcherVerifies();
         }},
        {"recover",
         [setup] {
             installCompletes(installedLauncher(), "good");
             // A replacement that found TESSARO.exe without its receipt, so took no backup, and stopped
             // right before the swap; the user starts the setup downloaded earlier, which recovers first.
             const fs::path file = newLauncherFolder() / L"TESSARO-Setup.exe";
             newLauncher = sha256FileHex(file, nullptr, {});
             const fs::path staged = stagedLauncherPath(installRoot(), newLauncher);
             createDirectories(staged.parent_path());
             ::CopyFileW(file.c_str(), staged.c_str(), FALSE);
             ::CopyFileW(file.c_str(), (installRoot() / L"TESSARO.next.exe").c_str(), FALSE);
             ::CopyFileW(setupFile().c_str(), installedLauncher().c_str(), FALSE);
             ::DeleteFileW(launcherReceiptPath(installRoot()).c_str());
             ::CopyFileW(setupFile().c_str(), setup.c_str(), FALSE);
             writeLauncherUpdateDocument(dataRoot(),
                                         {{"envelope", readBytes(newLauncherFolder() / L"manifest.json")},
                                          {"file", toUtf8(staged.native())},
                                          {"phase", "replacing"},
                                          {"sha256", newLauncher},
                                          {"version", "1.0.3"}});
         },
         [setup](std::uint64_t n, const fs::path& report) {
             awaitQuiet();
             ChildProcess manager = start(quoted(setup), n, report);
             return runToEnd(manager, managerIdle);
         },
         [] {
             // Whatever the interrupted recovery left, the Start menu's launcher starts, and after that
             // start the ordered launcher is in place without a copy of the previous one beside it.
             const std::string started = startLauncher();
             awaitReplacementHelpers();
             if (!started.empty())
                 return started;
             if (present(recoveryCopy()))
                 return std::string("TESSARO.recovery.exe was left");
             if (sha256FileHex(installedLauncher(), nullptr, {}) != newLauncher)
                 return std::string("the ordered launcher is not in place");
             return launcherVerifies();
         }},
        {"fast-update",
         [setup] {
             // The only operation on the road that fetches only what changed: the portal answers ranges
             // again. "other" shares two of its three files with "good".
             devportal::admin("faults/clear", "{}");
             devportal::addFault({{"fault", "catalog"},
                                  {"variant", "e2e"},
                                  {"path", std::string(devportal::catalogPath) + "stable"}});
             signIn();
             installCompletes(setup, "good");
         },
         [](std::uint64_t n, const fs::path& report) {
             return install(installedLauncher(), "other", n, report);
         },
         [] {
             // The user starts what is there and, unless the update had finished, updates again: that
             // attempt goes on from what the interrupted one left.
             const std::string started = startLauncher();
             if (started.empty() &&
                 document(dataRoot() / L"current.json").value("active", std::string()) == releaseId("other"))
                 return started;
             return installCompletes(installedLauncher(), "other");
         }},
        {"uninstall-1", [] { installCompletes(installedLauncher(), "good"); },
         [](std::uint64_t n, const fs::path& report) { return uninstall(n, report); },
         [] {
             return uninstallCompletes();
         }},
        {"uninstall-2",
         [setup] {
             signIn();
             installCompletes(setup, "good");
             // The first stage as the manager runs it, with its helper ended before it starts working.
             ChildProcess manager = start(quoted(installedLauncher()) + L" --manage", 0, {});
             HWND window = nullptr;
             waitUntil([&] { return (window = findManagerWindowOf(manager.id)) != nullptr; }, 60000);
             waitUntil([window] { return managerIdle(window); }, 60000);
             pressUninstallAndConfirm(window);
             waitUntil([window] { return statusText(window) == stageOneDone; }, 120000);
             for (DWORD id : processesNamed(L"uninstall-")) {
                 KernelHandle helper(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id));
                 ::TerminateProcess(helper.get(), 1);
                 ::WaitForSingleObject(helper.get(), 10000);
             }
             ::PostMessageW(window, WM_CLOSE, 0, 0);
             manager.wait(60000);
         },
         [](std::uint64_t n, const fs::path& report) {
             std::wstring seen;
             for (const TreeEntry& entry : listFolder(helperFolder()))
                 if (entry.relative.native().starts_with(L"uninstall-") &&
                     entry.relative.extension() == L".exe") {
                     ChildProcess helper = start(quoted(entry.path) + L" --finish-uninstall --parent-pid " +
                                                     std::to_wstring(endedProcessId()),
                                                 n, report);
                     seen += runToEnd(helper, [](HWND) { return true; });
                 }
             return seen;
         },
         [] { return uninstallCompletes(); }, true},
    };
}

// The shards share one portal, and preparations need it: it goes down once every shard has prepared the
// operation, and stays down (so only the table's last operation may ask for it).
void takePortalDownWithAllShards(unsigned shard, unsigned shards) {
    const fs::path folder = sweepDir() / L"portal-down";
    createDirectories(folder);
    writeBytes(folder / std::to_wstring(shard), "prepared");
    trace("waiting for every shard to prepare");
    const bool all = waitUntil(
        [&] {
            for (unsigned other = 0; other < shards; ++other)
                if (!present(folder / std::to_wstring(other)))
                    return false;
            return true;
        },
        900000);
    if (!all)
        throw std::runtime_error("not every shard prepared the operation that takes the portal down");
    devportal::addFault({{"fault", "status"}, {"status", 503}});
    trace("the portal answers 503 from now on");
}

struct Tally {
    unsigned points = 0;
    unsigned recovered = 0;
};

int sweep(unsigned shard, unsigned shards, const std::string& only) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    ScratchFolder scratch;
    devportal::addFault(
        {{"fault", "catalog"}, {"variant", "e2e"}, {"path", std::string(devportal::catalogPath) + "stable"}});
    // Every operation but "fast-update" fetches whole archives: the portal answers ranges with the whole
    // file until that operation's preparation takes this back.
    devportal::addFault({{"fault", "ignore-range"}, {"path", std::string(devportal::artifactsPath) + "*"}});
    for (const auto& [file, content] : userData()) {
        createDirectories(file.parent_path());
        writeBytes(file, content);
    }
    const fs::path report = scratch / L"kill-report.txt";
    int failures = 0;
    for (const Operation& operation : operations(scratch)) {
        const ULONGLONG began = ::GetTickCount64();
        operation.prepare();
        awaitQuiet();
        if (!only.empty() && only != operation.name) {
            operation.run(0, report);
            continue;
        }
        if (operation.portalDown)
            takePortalDownWithAllShards(shard, shards);
        const Snapshot prepared = keep(scratch / L"kept" / toWide(operation.name));
        const std::map<std::wstring, std::string> outside = outsideFiles();
        Tally tally;
        for (std::uint64_t n = shard + 1;; n += shards) {
            putBack(prepared);
            trace("put back");
            const std::wstring seen = operation.run(n, report);
            const bool killed = present(report);
            const bool hung = seen.ends_with(L" timeout");
            endProgramsOfVersions();
            trace(killed ? "killed before " + readBytes(report) : std::string("completed"));
            std::string failure = hung ? "the operation hung" : brokenDocument();
            if (failure.empty())
                failure = operation.recover();
            if (failure.empty() && outsideFiles() != outside)
                failure = "files outside the launcher's places changed";
            for (const auto& [file, content] : userData())
                if (failure.empty() && (!present(file) || readBytes(file) != content))
                    failure = "user data lost: " + toUtf8(file.native());
            trace(failure.empty() ? "recovered" : "not recovered");
            const std::string call = killed ? readBytes(report) : std::string("(completed)");
            if (!failure.empty()) {
                std::printf("FAIL %s n=%llu call=%s: %s (saw: %s)\n", operation.name,
                            static_cast<unsigned long long>(n), call.c_str(), failure.c_str(),
                            toUtf8(seen).c_str());
                ++failures;
            }
            if (!killed && !hung)
                break;
            ++tally.points;
            tally.recovered += failure.empty() ? 1 : 0;
            std::fflush(stdout);
        }
        std::printf("%s: %u kill points, %u recovered (%llu s)\n", operation.name, tally.points,
                    tally.recovered, static_cast<unsigned long long>((::GetTickCount64() - began) / 1000));
        std::fflush(stdout);
        if (only == operation.name)
            break;
    }
    return failures == 0 ? 0 : 1;
}

} // namespace
} // namespace tess::test

int wmain(int argc, wchar_t** argv) {
    try {
        const unsigned shard = argc > 2 ? static_cast<unsigned>(std::wcstoul(argv[1], nullptr, 10)) : 0;
        const unsigned shards = argc > 2 ? static_cast<unsigned>(std::wcstoul(argv[2], nullptr, 10)) : 1;
        const std::string only = argc > 3 ? tess::toUtf8(argv[3]) : std::string();
        return tess::test::sweep(shard, shards, only);
    } catch (const std::exception& e) {
        std::printf("FAIL sweep: %s\n", e.what());
        return 2;
    }
}
