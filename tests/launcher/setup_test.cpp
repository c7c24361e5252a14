#include "launcher/setup.hpp"
#include "launcher_fixture.hpp"

#include <shobjidl.h>

#include <gtest/gtest.h>

namespace tess {
namespace {

using namespace test;

class Setup : public ::testing::Test {
  protected:
    void SetUp() override {
        ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        copyFile(variantExe("driver"), download);
        offerVariant("driver");
    }
    // The driver, published as launcher release, started from a download folder.
    std::optional<DWORD> runSetup(const std::wstring& operation = L"setup") {
        return runDriver(download, operation);
    }

    UserState state;
    ScratchFolder downloads;
    fs::path download = downloads / L"TESSARO-Setup.exe";
};

std::string setupError() {
    std::optional<Json> report = standInReport(L"setup.json");
    if (!report)
        return "(no report)";
    return (*report)["error"].is_null() ? "" : (*report)["error"].get<std::string>();
}

struct ShortcutProperties {
    std::wstring path;
    std::wstring workingDirectory;
    std::wstring description;
};

ShortcutProperties readShortcut(const fs::path& shortcut) {
    ComPtr<IShellLinkW> link;
    EXPECT_TRUE(SUCCEEDED(
        ::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, link.putVoid())));
    ComPtr<IPersistFile> file;
    EXPECT_TRUE(SUCCEEDED(link->QueryInterface(IID_IPersistFile, file.putVoid())));
    EXPECT_TRUE(SUCCEEDED(file->Load(shortcut.c_str(), STGM_READ)));
    wchar_t text[MAX_PATH * 2] = {};
    ShortcutProperties properties;
    link->GetPath(text, MAX_PATH * 2, nullptr, 0);
    properties.path = text;
    link->GetWorkingDirectory(text, MAX_PATH * 2);
    properties.workingDirectory = text;
    link->GetDescription(text, MAX_PATH * 2);
    properties.description = text;
    return properties;
}

struct RegistryValue {
    DWORD type = 0;
    std::vector<BYTE> data;
};

std::optional<RegistryValue> readValue(const wchar_t* name) {
    RegistryKey key;
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, uninstallRegistryKey, 0, KEY_READ, key.put()) != ERROR_SUCCESS)
        return std::nullopt;
    RegistryValue value;
    DWORD size = 0;
    if (::RegQueryValueExW(key.get(), name, nullptr, &value.type, nullptr, &size) != ERROR_SUCCESS)
        return std::nullopt;
    value.data.resize(size);
    ::RegQueryValueExW(key.get(), name, nullptr, &value.type, value.data.data(), &size);
    return value;
}

RegistryValue text(const std::wstring& value) {
    const BYTE* bytes = reinterpret_cast<const BYTE*>(value.c_str());
    return {REG_SZ, std::vector<BYTE>(bytes, bytes + (value.size() + 1) * sizeof(wchar_t))};
}

void expectUninstallEntry() {
    const std::wstring launcher = installedLauncher().native();
    struct Case {
        const wchar_t* name;
        RegistryValue expected;
    } cases[] = {
        {L"DisplayName", text(L"TESSARO")},
        {L"Publisher", text(L"Noravik GmbH")},
        {L"DisplayVersion", text(L"2026.10.0")},
        {L"InstallLocation", text(installRoot().native())},
        {L"DisplayIcon", text(launcher)},
        {L"UninstallString", text(L"\"" + launcher + L"\" --uninstall")},
        {L"ModifyPath", text(L"\"" + launcher + L"\" --manage")},
        {L"NoRepair", {REG_DWORD, {0, 0, 0, 0}}},
    };
    for (const Case& c : cases) {
        std::optional<RegistryValue> value = readValue(c.name);
        ASSERT_TRUE(value.has_value()) << toUtf8(c.name);
        EXPECT_EQ(value->type, c.expected.type) << toUtf8(c.name);
        EXPECT_EQ(value->data, c.expected.data) << toUtf8(c.name);
    }
}

TEST_F(Setup, FromADownloadFolderInstallsTheLauncherWithShortcutAndUninstallEntry) {
    ASSERT_EQ(runSetup(), std::optional<DWORD>(0)) << setupError();
    EXPECT_EQ(readBytes(installedLauncher()), variantBytes("driver"));
    EXPECT_EQ(readBytes(launcherReceipt()), variantEnvelope("driver"));
    EXPECT_FALSE(present(updateDocument()));
    EXPECT_FALSE(present(installRoot() / L"updater"));

    ShortcutProperties shortcut = readShortcut(startMenuShortcut());
    EXPECT_EQ(shortcut.path, installedLauncher().native());
    EXPECT_EQ(shortcut.workingDirectory, installRoot().native());
    EXPECT_EQ(shortcut.description, L"TESSARO \u2013 Software und Versionsverwaltung");
    EXPECT_FALSE(present(desktopShortcut()));
    expectUninstallEntry();
}

TEST_F(Setup, FromALinkedDownloadsFolderVerifiesAndCopiesItsOwnFile) {
    const fs::path linked = linkedDownloads() / L"TESSARO-Setup.exe";
    copyFile(variantExe("driver"), linked);
    const std::optional<DWORD> exitCode = runDriver(linked, L"setup");
    ::DeleteFileW(linked.c_str());
    ASSERT_EQ(exitCode, std::optional<DWORD>(0)) << setupError();
    EXPECT_EQ(readBytes(installedLauncher()), variantBytes("driver"));
    EXPECT_EQ(readBytes(launcherReceipt()), variantEnvelope("driver"));
}

TEST_F(Setup, DesktopShortcutOnlyWhenAskedAndKeptWhenNotAskedAgain) {
    ASSERT_EQ(runSetup(L"setup-desktop"), std::optional<DWORD>(0)) << setupError();
    ShortcutProperties shortcut = readShortcut(desktopShortcut());
    EXPECT_EQ(shortcut.path, installedLauncher().native());
    EXPECT_EQ(shortcut.workingDirectory, installRoot().native());

    ::RegDeleteTreeW(HKEY_CURRENT_USER, uninstallRegistryKey);
    ::DeleteFileW(startMenuShortcut().c_str());
    ASSERT_EQ(runDriver(installedLauncher(), L"setup"), std::optional<DWORD>(0)) << setupError();
    EXPECT_TRUE(present(desktopShortcut()));
    EXPECT_TRUE(present(startMenuShortcut()));
    expectUninstallEntry();
}

TEST_F(Setup, LeavesANewerVerifiedLauncherAloneAndStagesAnyOther) {
    struct Case {
        const char* name;
        std::string installed;
        bool receipt;
        bool staged;
    } cases[] = {
        {"file version 1.0.3 matching its receipt", "tessaro-1.0.3", true, false},
        {"file version 1.0.2.9 matching its receipt", "tessaro-1.0.2.9", true, true},
        {"file version 1.0.3 without receipt", "tessaro-1.0.3", false, true},
    };
    for (const Case& c : cases) {
        UserState::reset();
        offerVariant("driver");
        installVariant(c.installed, c.receipt);
        const std::string receiptBefore = c.receipt ? variantEnvelope(c.installed) : "";
        {
            InstanceMutexHolder manager; // keeps a started helper waiting until the state is checked
            ASSERT_EQ(runSetup(), std::optional<DWORD>(0)) << c.name << ": " << setupError();
            EXPECT_EQ(readBytes(installedLauncher()), variantBytes(c.installed)) << c.name;
            fs::path staged = stagedLauncherPath(installRoot(), variantSha("driver"));
            EXPECT_EQ(present(staged), c.staged) << c.name;
            if (!c.staged) {
                EXPECT_FALSE(present(updateDocument())) << c.name;
                EXPECT_EQ(readBytes(launcherReceipt()), receiptBefore) << c.name;
                EXPECT_TRUE(processesNamed(L"launcher-").empty()) << c.name;
                continue;
            }
            EXPECT_EQ(readBytes(staged), variantBytes("driver")) << c.name;
            EXPECT_EQ(readBytes(updateDocument()), dumpCompact(setupDocument("driver", staged, "1.0.2")))
                << c.name;
            EXPECT_EQ(processesNamed(L"launcher-").size(), 1u) << c.name;
        }
        ASSERT_TRUE(waitForProcessesToEnd(L"launcher-", 120000)) << c.name;
        EXPECT_EQ(readBytes(installedLauncher()), variantBytes("driver")) << c.name;
        EXPECT_EQ(readBytes(launcherReceipt()), variantEnvelope("driver")) << c.name;
        EXPECT_EQ(readDocument(updateDocument())["phase"], "complete") << c.name;
    }
}

// A first-time user whose launcher swap died with no launcher to return to: the document stays at
// "replacing", and once setup has placed the launcher itself that order must not block later starts.
TEST_F(Setup, PlacingTheLauncherItselfEndsAReplacementLeftWithoutLauncher) {
    Json document = setupDocument("tessaro-1.0.3",
                                  stagedLauncherPath(installRoot(), variantSha("tessaro-1.0.3")), "1.0.3");
    document["phase"] = "replacing";
    writeLauncherUpdateDocument(dataRoot(), document);

    ASSERT_EQ(runSetup(), std::optional<DWORD>(0)) << setupError();
    EXPECT_EQ(readBytes(installedLauncher()), variantBytes("driver"));
    EXPECT_FALSE(present(updateDocument()));

    // Setup run by the installed launcher itself ends it as well.
    document["phase"] = "replacing";
    writeLauncherUpdateDocument(dataRoot(), document);
    ASSERT_EQ(runDriver(installedLauncher(), L"setup"), std::optional<DWORD>(0)) << setupError();
    EXPECT_FALSE(present(updateDocument()));

    document["phase"] = "prepared";
    writeLauncherUpdateDocument(dataRoot(), document);
    ::DeleteFileW(installedLauncher().c_str());
    ASSERT_EQ(runSetup(), std::optional<DWORD>(0)) << setupError();
    EXPECT_EQ(readBytes(updateDocument()), dumpCompact(document));
}

TEST_F(Setup, AlteredStagedLauncherIsRemovedSoThatTheNextSetupStagesItAgain) {
    installVariant("tessaro-1.0.2.9");
    fs::path staged = stagedLauncherPath(installRoot(), variantSha("driver"));
    writeBytes(staged, "not the launcher");

    ASSERT_EQ(runSetup(), std::optional<DWORD>(1));
    EXPECT_EQ(setupError(), "Launcherdatei wurde verändert.");
    EXPECT_FALSE(present(staged));
    EXPECT_FALSE(present(updateDocument()));

    ASSERT_EQ(runSetup(), std::optional<DWORD>(0)) << setupError();
    ASSERT_TRUE(waitForProcessesToEnd(L"launcher-", 120000));
    EXPECT_EQ(readBytes(installedLauncher()), variantBytes("driver"));
}

TEST_F(Setup, RefusesAnExecutableThatMatchesNoSignedRelease) {
    struct Case {
        const char* name;
        std::optional<std::string> offered;
        std::string message;
    } cases[] = {
        {"portal offers another launcher", "tessaro-1.0.2",
         "Launcher stimmt nicht mit der signierten Freigabe überein."},
        {"portal offers none", std::nullopt, "Die signierte Installerfreigabe ist momentan nicht verfügbar."},
    };
    for (const Case& c : cases) {
        if (c.offered)
            offerVariant(*c.offered);
        else
            withdrawLauncher();
        EXPECT_EQ(runSetup(), std::optional<DWORD>(1)) << c.name;
        EXPECT_EQ(setupError(), c.message) << c.name;
        EXPECT_FALSE(present(installedLauncher())) << c.name;
        EXPECT_FALSE(present(startMenuShortcut())) << c.name;
    }
}

} // namespace
} // namespace tess
