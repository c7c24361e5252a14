#include "launcher/setup.hpp"

#include "activation/process.hpp"
#include "client/client.hpp"
#include "foundation/changes.hpp"
#include "foundation/crypto.hpp"
#include "foundation/disk.hpp"
#include "foundation/error.hpp"
#include "foundation/files.hpp"
#include "foundation/handles.hpp"
#include "foundation/paths.hpp"
#include "foundation/text.hpp"
#include "launcher/launcher_verify.hpp"
#include "launcher/update.hpp"
#include "trust/envelope.hpp"

#include <shobjidl.h>

#include <array>
#include <string>
#include <vector>

namespace tess {
namespace fs = std::filesystem;
namespace {

constexpr DWORD minimumFixedInfoBytes = 52;

std::string fileHash(const fs::path& path) {
    return sha256FileHex(extendedPath(path, false), nullptr, {});
}

// Lexical comparison, each component case-sensitive, "\" and "/" alike.
bool samePathText(const fs::path& left, const fs::path& right) {
    return fs::path(left).make_preferred() == fs::path(right).make_preferred();
}

void writeReceipt(const fs::path& installRoot, const std::string& envelope) {
    writeFileDurably(launcherReceiptPath(installRoot), envelope);
}

// A replacement that died with no launcher to go back to keeps every start at the recovery's message;
// once setup has put a verified launcher in place that order is void.
void dropInterruptedReplacement(const fs::path& dataRoot) {
    const fs::path document = extendedPath(launcherUpdateDocumentPath(dataRoot), false);
    if (!pathExists(document))
        return;
    Json content;
    try {
        content = loadJsonOr(document, Json::object());
    } catch (const Error&) {
        return;
    }
    if (content.is_object() && content.value("phase", Json()) == Json("replacing"))
        removeEntry(document);
}

// Whether the installed launcher matches its receipt, a signed launcher release.
bool installedLauncherVerifies(const fs::path& installRoot) noexcept {
    try {
        verifyLauncherFile(installRoot / L"TESSARO.exe",
                           readFileBounded(launcherReceiptPath(installRoot), maxDocumentBytes),
                           builtinKeySet(), true);
        return true;
    } catch (...) {
        return false;
    }
}

void stageReplacement(const Client& client, const fs::path& executable, const std::string& executableHash,
                      const std::string& envelope) {
    const fs::path staged = stagedLauncherPath(client.installRoot, executableHash);
    ensurePrivateDirectory(staged.parent_path());
    if (!pathExists(staged))
        require(copyFile(extendedPath(executable, false), extendedPath(staged, false), true),
                "Launcherupdate konnte nicht vorbereitet werden.");
    if (fileHash(staged) != executableHash)
        discardAlteredStagedLauncher(staged);
    writeLauncherUpdateDocument(client.dataRoot, {{"envelope", envelope},
                                                  {"file", toUtf8(staged.native())},
                                                  {"sha256", executableHash},
                                                  {"version", std::string(launcherVersion)}});
    startReplacementHelper(staged);
}

void placeLauncher(const Client& client, const fs::path& executable, const fs::path& target,
                   const std::string& envelope) {
    if (samePathText(executable, target))
        return;
    if (pathExists(target)) {
        const std::string executableHash = fileHash(executable);
        if (fileHash(target) == executableHash || installedLauncherIsNewer(target))
            return;
        stageReplacement(client, executable, executableHash, envelope);
        return;
    }
    require(copyFile(extendedPath(executable, false), extendedPath(target, false), true),
            "Launcher konnte nicht installiert werden.");
    if (!envelope.empty())
        writeReceipt(client.installRoot, envelope);
    dropInterruptedReplacement(client.dataRoot);
}

void setStringValue(HKEY key, const wchar_t* name, const std::wstring& data) {
    LSTATUS status = setRegistryValue(key, name, REG_SZ, data.c_str(),
                                      static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
    require(status == ERROR_SUCCESS, "Installationseintrag konnte nicht gespeichert werden.");
}

void writeUninstallEntry(const fs::path& installRoot, const fs::path& target) {
    RegistryKey key;
    require(createRegistryKey(HKEY_CURRENT_USER, uninstallRegistryKey, KEY_WRITE, key) == ERROR_SUCCESS,
            "Windows-Installationseintrag fehlgeschlagen.");
    const std::wstring quoted = quoteArgument(target.native());
    setStringValue(key.get(), L"DisplayName", L"TESSARO");
    setStringValue(key.get(), L"Publisher", L"Noravik GmbH");
    setStringValue(key.get(), L"DisplayVersion", L"2026.10.0");
    setStringValue(key.get(), L"InstallLocation", installRoot.native());
    setStringValue(key.get(), L"DisplayIcon", target.native());
    setStringValue(key.get(), L"UninstallString", quoted + L" --uninstall");
    setStringValue(key.get(), L"ModifyPath", quoted + L" --manage");
    const DWORD noRepair = 0;
    setRegistryValue(key.get(), L"NoRepair", REG_DWORD, &noRepair, sizeof noRepair);
}

} // namespace

std::optional<fs::path> knownFolderPath(REFKNOWNFOLDERID id) {
    CoTaskMemory<PWSTR> buffer;
    if (FAILED(::SHGetKnownFolderPath(id, 0, nullptr, buffer.put())) || !buffer.valid())
        return std::nullopt;
    return fs::path(std::wstring(buffer.get()));
}

void writeShortcut(const fs::path& shortcut, const fs::path& target) {
    ComPtr<IShellLinkW> link;
    require(SUCCEEDED(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                         link.putVoid())),
            "Verknüpfung konnte nicht erstellt werden.");
    link->SetPath(target.c_str());
    link->SetWorkingDirectory(target.parent_path().c_str());
    link->SetDescription(L"TESSARO \u2013 Software und Versionsverwaltung");
    ComPtr<IPersistFile> file;
    bool saved = SUCCEEDED(link->QueryInterface(IID_IPersistFile, file.putVoid()));
    if (saved) {
        beforeChange("IPersistFile::Save", shortcut);
        saved = SUCCEEDED(file->Save(shortcut.c_str(), TRUE));
        if (saved)
            wroteWholeFile(shortcut);
    }
    file.reset();
    link.reset();
    require(saved, "Verknüpfung konnte nicht gespeichert werden.");
}

bool installedLauncherIsNewer(const fs::path& launcher) noexcept {
    try {
        const std::string receipt =
            readFileBounded(launcherReceiptPath(launcher.parent_path()), maxDocumentBytes);
        verifyLauncherFile(launcher, receipt, builtinKeySet(), true);

        const fs::path file = extendedPath(launcher, false);
        DWORD size = ::GetFileVersionInfoSizeW(file.c_str(), nullptr);
        if (size == 0)
            return false;
        std::vector<unsigned char> block(size);
        if (!::GetFileVersionInfoW(file.c_str(), 0, size, block.data()))
            return false;
        VS_FIXEDFILEINFO* info = nullptr;
        UINT length = 0;
        if (!::VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&info), &length) || !info ||
            length < minimumFixedInfoBytes)
            return false;
        const std::array<std::int64_t, 3> installed{
            HIWORD(info->dwFileVersionMS), LOWORD(info->dwFileVersionMS), HIWORD(info->dwFileVersionLS)};
        return installed > *readLauncherVersion(launcherVersion);
    } catch (...) {
        return false;
    }
}

void Client::setup(bool createDesktopShortcut) {
    // Run from installRoot this is executablePath() itself, so placeLauncher's same-path test is unchanged.
    const fs::path executable = runningExecutableFile(installRoot, dataRoot);
    const fs::path target = installRoot / L"TESSARO.exe";
    const std::string envelope = currentLauncherRelease(installRoot, executable);
    verifyLauncherFile(executable, envelope, builtinKeySet(), false);

    placeLauncher(*this, executable, target, envelope);
    if (!envelope.empty() && pathExists(target) && fileHash(target) == fileHash(executable))
        writeReceipt(installRoot, envelope);
    // However the launcher got there (copied now, or this very process), a verified one ends the order.
    if (installedLauncherVerifies(installRoot))
        dropInterruptedReplacement(dataRoot);

    ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    const std::optional<fs::path> programs = knownFolderPath(FOLDERID_Programs);
    require(programs.has_value(), "Startmenü nicht verfügbar.");
    createDirectories(*programs / L"CORVALIS");
    writeShortcut(*programs / L"CORVALIS" / L"TESSARO.lnk", target);
    if (createDesktopShortcut) {
        const std::optional<fs::path> desktop = knownFolderPath(FOLDERID_Desktop);
        require(desktop.has_value(), "Desktop nicht verfügbar.");
        writeShortcut(*desktop / L"TESSARO.lnk", target);
    }
    writeUninstallEntry(installRoot, target);
}

} // namespace tess
