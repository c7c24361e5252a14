#include "launcher/uninstall.hpp"
#include "launcher_fixture.hpp"

#include <gtest/gtest.h>

namespace tess {
namespace {

using namespace test;

class Uninstall : public ::testing::Test {
  protected:
    void SetUp() override { ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
    UserState state;
};

bool registryEntryExists() {
    RegistryKey key;
    return ::RegOpenKeyExW(HKEY_CURRENT_USER, uninstallRegistryKey, 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

// An installation as the driver launcher leaves it: versions, staged launchers, state, shortcuts, entry.
void populateInstallation() {
    installVariant("driver");
    writeBytes(installRoot() / L"releases" / L"v1" / L"appTESSARO.exe", "program");
    writeBytes(installRoot() / L"current.json", "{}");
    writeBytes(installRoot() / L"updater" / L"launcher-previous.exe", "old launcher");
    writeBytes(dataRoot() / L"journal.json", "{}");
    writeBytes(dataRoot() / L"downloads" / L"x.zip.partial", "partial");
    writeBytes(dataRoot() / L"receipts" / L"v1.json", "{}");
    // Full paths beyond 300 characters in both roots: neither stage may trip over them.
    const fs::path deep = fs::path(std::wstring(120, L'd')) / std::wstring(120, L'e') / L"file.bin";
    writeBytes(extendedPath(installRoot() / L"releases" / L"v1" / deep, true), "deep");
    writeBytes(extendedPath(dataRoot() / L"downloads" / deep, true), "deep");
    createDirectories(startMenuShortcut().parent_path());
    writeShortcut(startMenuShortcut(), installedLauncher());
    writeShortcut(desktopShortcut(), installedLauncher());
    RegistryKey key;
    ::RegCreateKeyExW(HKEY_CURRENT_USER, uninstallRegistryKey, 0, nullptr, 0, KEY_WRITE, nullptr, key.put(),
                      nullptr);
}

std::vector<std::wstring> helperCopies() {
    std::vector<std::wstring> copies;
    for (const std::wstring& name : entriesOf(helperFolder()))
        if (name.starts_with(L"uninstall-"))
            copies.push_back(name);
    return copies;
}

std::string uninstallError() {
    std::optional<Json> report = standInReport(L"uninstall.json");
    if (!report)
        return "(no report)";
    return (*report)["error"].is_null() ? "" : (*report)["error"].get<std::string>();
}

void expectNothingRemoved(const char* label) {
    EXPECT_TRUE(present(installRoot() / L"releases" / L"v1" / L"appTESSARO.exe")) << label;
    EXPECT_TRUE(present(dataRoot() / L"journal.json")) << label;
    EXPECT_TRUE(present(startMenuShortcut())) << label;
    EXPECT_TRUE(registryEntryExists()) << label;
    EXPECT_TRUE(helperCopies().empty()) << label;
}

ChildProcess startApplication(const ScratchFolder& folder) {
    fs::path exe = folder / L"app" / L"appTESSARO.exe";
    copyFile(binaryDir() / L"bin" / L"launcher_standin.exe", exe);
    return startChild(quoted(exe));
}

TEST_F(Uninstall, FirstStageLeavesTheLauncherForTheHelperWhichRemovesTheRest) {
    populateInstallation();
    // Left by a first stage that failed after copying its helper: gone with the next one.
    writeBytes(helperFolder() / L"uninstall-left.exe", "stale helper");
    writeBytes(helperFolder() / L"uninstall-left.exe.receipt.json", "{}");
    InstanceMutexHolder manager; // the helper must wait, so that the first stage's result can be seen

    ASSERT_EQ(runDriver(installedLauncher(), L"uninstall"), std::optional<DWORD>(0)) << uninstallError();
    std::optional<Json> report = standInReport(L"uninstall.json");
    ASSERT_TRUE(report.has_value());
    EXPECT_EQ(
        (*report)["reports"],
        Json::array({"Programmversionen entfernt. Bitte dieses Fenster schließen, um die Deinstallation "
                     "abzuschließen. Projekte, Konten und Lizenzdaten bleiben erhalten."}));
    EXPECT_EQ(entriesOf(installRoot()),
              (std::vector<std::wstring>{L"TESSARO.exe", L"launcher-receipt.json", L"updater"}));
    EXPECT_EQ(entriesOf(dataRoot()), std::vector<std::wstring>{L"receipts"});
    EXPECT_TRUE(entriesOf(dataRoot() / L"receipts").empty());
    EXPECT_FALSE(present(startMenuShortcut()));
    EXPECT_FALSE(present(desktopShortcut()));
    EXPECT_TRUE(present(startMenuShortcut().parent_path()));
    EXPECT_FALSE(registryEntryExists());
    std::vector<std::wstring> copies = helperCopies();
    ASSERT_EQ(copies.size(), 2u);
    EXPECT_EQ(copies[1], copies[0] + L".receipt.json");
    EXPECT_EQ(readBytes(helperFolder() / copies[0]), variantBytes("driver"));
    EXPECT_EQ(readBytes(helperFolder() / copies[1]), variantEnvelope("driver"));

    manager.release();
    ASSERT_TRUE(waitForProcessesToEnd(L"uninstall-", 120000));
    std::optional<Json> helper = standInReport(L"helper.json");
    ASSERT_TRUE(helper.has_value());
    EXPECT_EQ((*helper)["error"], nullptr);
    EXPECT_FALSE(present(installRoot()));
    EXPECT_FALSE(present(dataRoot()));
    EXPECT_TRUE(present(helperFolder()));
    EXPECT_FALSE(present(helperFolder() / (copies[0] + L".receipt.json")));
}

// A newer launcher was prepared and its replacement helper waits for the manager when the user
// uninstalls: that helper must leave the program folder before the second stage removes it.
TEST_F(Uninstall, AWaitingLauncherReplacementGivesWayAndEverythingIsRemoved) {
    populateInstallation();
    offerVariant("tessaro-1.0.3");
    InstanceMutexHolder manager;
    ASSERT_EQ(runDriver(installedLauncher(), L"update"), std::optional<DWORD>(0));
    ASSERT_EQ(processesNamed(L"launcher-").size(), 1u);
    ASSERT_EQ(runDriver(installedLauncher(), L"uninstall"), std::optional<DWORD>(0)) << uninstallError();
    EXPECT_TRUE(waitForProcessesToEnd(L"launcher-", 15000)) << "the order is gone, the helper must end";

    manager.release();
    ASSERT_TRUE(waitForProcessesToEnd(L"uninstall-", 120000));
    EXPECT_FALSE(dismissMessageBox(L"TESSARO Installer", 1000).has_value());
    std::optional<Json> helper = standInReport(L"helper.json");
    ASSERT_TRUE(helper.has_value());
    EXPECT_EQ((*helper)["error"], nullptr);
    EXPECT_FALSE(present(installRoot()));
    EXPECT_FALSE(present(dataRoot()));
}

TEST_F(Uninstall, RunningApplicationBlocksTheFirstStage) {
    populateInstallation();
    ScratchFolder folder;
    ChildProcess application = startApplication(folder);

    EXPECT_EQ(runDriver(installedLauncher(), L"uninstall"), std::optional<DWORD>(1));
    EXPECT_EQ(uninstallError(), "TESSARO vor der Deinstallation regulär beenden.");
    expectNothingRemoved("application running");
}

// The helper finds the application running; the launcher's receipt was kept, so the uninstall can be
// repeated without the portal (which offers no launcher release here).
TEST_F(Uninstall, RunningApplicationBlocksTheSecondStageAndTheUninstallCanBeRepeatedOffline) {
    populateInstallation();
    ScratchFolder folder;
    std::optional<ChildProcess> application;
    {
        InstanceMutexHolder manager;
        ASSERT_EQ(runDriver(installedLauncher(), L"uninstall"), std::optional<DWORD>(0)) << uninstallError();
        application.emplace(startApplication(folder));
    }
    ASSERT_TRUE(waitForProcessesToEnd(L"uninstall-", 120000));
    std::optional<Json> helper = standInReport(L"helper.json");
    ASSERT_TRUE(helper.has_value());
    EXPECT_EQ((*helper)["error"], "TESSARO läuft noch.");
    EXPECT_EQ(entriesOf(installRoot()),
              (std::vector<std::wstring>{L"TESSARO.exe", L"launcher-receipt.json", L"updater"}));
    EXPECT_TRUE(present(dataRoot() / L"receipts"));

    application->terminate();
    ASSERT_TRUE(application->wait(30000).has_value());
    removeHelperCopies();
    ASSERT_EQ(runDriver(installedLauncher(), L"uninstall"), std::optional<DWORD>(0)) << uninstallError();
    ASSERT_TRUE(waitForProcessesToEnd(L"uninstall-", 120000));
    EXPECT_FALSE(present(installRoot()));
    EXPECT_FALSE(present(dataRoot()));
}

// A scanner holding TESSARO.exe open makes the helper fail right after it removed the launcher's receipt,
// the state a kill there leaves as well. The uninstall repeated from that launcher finishes without the
// portal, which offers no launcher release here.
TEST_F(Uninstall, LauncherLeftWithoutItsReceiptIsUninstalledAgainOffline) {
    populateInstallation();
    {
        FileHandle scanner(::CreateFileW(installedLauncher().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                         OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(scanner.valid());
        ASSERT_EQ(runDriver(installedLauncher(), L"uninstall"), std::optional<DWORD>(0)) << uninstallError();
        ASSERT_TRUE(waitForProcessesToEnd(L"uninstall-", 120000));
    }
    std::optional<Json> helper = standInReport(L"helper.json");
    ASSERT_TRUE(helper.has_value());
    EXPECT_NE((*helper)["error"], nullptr);
    EXPECT_EQ(entriesOf(installRoot()), std::vector<std::wstring>{L"TESSARO.exe"});

    ASSERT_EQ(runDriver(installedLauncher(), L"uninstall"), std::optional<DWORD>(0)) << uninstallError();
    ASSERT_TRUE(waitForProcessesToEnd(L"uninstall-", 120000));
    EXPECT_FALSE(present(installRoot()));
    EXPECT_FALSE(present(dataRoot()));
}

TEST_F(Uninstall, LinkAnywhereStopsItBeforeAnythingIsRemoved) {
    for (const fs::path& root : {installRoot(), dataRoot()}) {
        UserState::reset();
        populateInstallation();
        ASSERT_TRUE(::MoveFileExW(parkedLinkFolder().c_str(), (root / L"parked").c_str(), 0));
        const std::string label = toUtf8(root.native());
        EXPECT_EQ(runDriver(installedLauncher(), L"uninstall"), std::optional<DWORD>(1)) << label;
        EXPECT_EQ(uninstallError(), "Verzeichnisverknüpfungen sind hier nicht erlaubt.") << label;
        expectNothingRemoved(label.c_str());
        UserState::reset();
        EXPECT_EQ(readBytes(linksRoot() / L"launcher-target" / L"keep.txt"), "keep me\n") << label;
    }
}

TEST_F(Uninstall, HelperCopyRenamedOrMovedRefuses) {
    ScratchFolder elsewhere;
    struct Case {
        const char* name;
        fs::path helper;
    } cases[] = {
        {"renamed", helperFolder() / L"renamed-helper.exe"},
        {"moved", elsewhere / toWide("uninstall-" + randomId() + ".exe")},
    };
    for (const Case& c : cases) {
        UserState::reset();
        installVariant("tessaro-1.0.2");
        copyFile(tessaroExe(), c.helper);
        writeFileDurably(fs::path(c.helper.native() + L".receipt.json"), variantEnvelope("tessaro-1.0.2"));

        ChildProcess helper = startHelper(c.helper, L"--finish-uninstall", endedProcessId());
        auto box = dismissMessageBox(L"TESSARO Installer", 60000);
        ASSERT_TRUE(box.has_value()) << c.name;
        EXPECT_EQ(box->text, L"Unzul\u00e4ssiger Deinstallationshelfer.") << c.name;
        EXPECT_EQ(helper.wait(30000), std::optional<DWORD>(1)) << c.name;
        EXPECT_EQ(readBytes(installedLauncher()), variantBytes("tessaro-1.0.2")) << c.name;
        ::DeleteFileW(c.helper.c_str());
        ::DeleteFileW((c.helper.native() + L".receipt.json").c_str());
    }
}

} // namespace
} // namespace tess
