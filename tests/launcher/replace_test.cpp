#include "launcher/replace.hpp"
#include "launcher_fixture.hpp"

#include <gtest/gtest.h>

namespace tess {
namespace {

using namespace test;

class LauncherReplacement : public ::testing::Test {
  protected:
    UserState state;
};

fs::path backupFile() {
    return installRoot() / L"updater" / L"launcher-previous.exe";
}
fs::path recoveryCopy() {
    return installRoot() / L"TESSARO.recovery.exe";
}

std::vector<std::wstring> probeAnswersLeft() {
    std::vector<std::wstring> left;
    for (const std::wstring& name : entriesOf(dataRoot()))
        if (name.starts_with(L"launcher-probe-"))
            left.push_back(name);
    return left;
}

// The real helper: an error ends in the "TESSARO Installer" box, whose text is returned.
std::wstring runTessaroHelper(const fs::path& staged) {
    ChildProcess helper = startHelper(staged, L"--replace-launcher", endedProcessId());
    const ULONGLONG deadline = ::GetTickCount64() + 60000;
    while (::GetTickCount64() < deadline) {
        if (std::optional<DWORD> code = helper.wait(100))
            return *code == 0 ? L"" : L"(exit code " + std::to_wstring(*code) + L" without message)";
        if (auto box = dismissMessageBox(L"TESSARO Installer", 100)) {
            helper.wait(30000);
            return box->text;
        }
    }
    return L"(time-out)";
}

TEST_F(LauncherReplacement, HelperOfSetupReplacesTheLauncherAndRecordsTheNewRelease) {
    installVariant("tessaro-1.0.2");
    fs::path staged = stageVariant("tessaro-1.0.3");
    writeLauncherUpdateDocument(dataRoot(), setupDocument("tessaro-1.0.3", staged, "1.0.3"));

    EXPECT_EQ(runTessaroHelper(staged), L"");
    EXPECT_EQ(readBytes(installedLauncher()), variantBytes("tessaro-1.0.3"));
    EXPECT_EQ(readBytes(launcherReceipt()), variantEnvelope("tessaro-1.0.3"));
    EXPECT_EQ(readBytes(backupFile()), variantBytes("tessaro-1.0.2"));
    Json expected = setupDocument("tessaro-1.0.3", staged, "1.0.3");
    expected["phase"] = "complete";
    expected["previousEnvelope"] = variantEnvelope("tessaro-1.0.2");
    expected["previousSha256"] = variantSha("tessaro-1.0.2");
    EXPECT_EQ(readBytes(updateDocument()), dumpCompact(expected));
    EXPECT_FALSE(present(installRoot() / L"TESSARO.next.exe"));
    EXPECT_TRUE(probeAnswersLeft().empty());
}

TEST_F(LauncherReplacement, HelperRefusesAnOrderItDoesNotMatchAndChangesNothing) {
    struct Case {
        const char* name;
        std::string variant;
        bool outsideUpdater;
        std::string documentVersion;
        std::wstring message;
    } cases[] = {
        {"started outside the updater folder", "tessaro-1.0.3", true, "1.0.3",
         L"Launcherupdate stimmt nicht mit Auftrag \u00fcberein."},
        {"staged file of another hash", "tessaro-1.0.3", false, "1.0.3",
         L"Launcherupdate stimmt nicht mit Auftrag \u00fcberein."},
        {"self-test names another version", "tessaro-1.0.2", false, "1.0.3",
         L"Neuer Launcher hat die Selbstpr\u00fcfung nicht bestanden."},
        {"order whose hash is no text", "tessaro-1.0.3", false, "1.0.3",
         L"Launcherupdate stimmt nicht mit Auftrag \u00fcberein."},
    };
    for (const Case& c : cases) {
        UserState::reset();
        installVariant("tessaro-0.9.9");
        fs::path staged = stageVariant(c.variant);
        Json document = setupDocument(c.variant, staged, c.documentVersion);
        if (std::string(c.name) == "staged file of another hash")
            document["sha256"] = variantSha("tessaro-1.0.2.9");
        if (std::string(c.name) == "order whose hash is no text")
            document["sha256"] = 5;
        writeLauncherUpdateDocument(dataRoot(), document);
        fs::path helper = staged;
        if (c.outsideUpdater) {
            helper = installRoot() / toWide("launcher-" + variantSha(c.variant) + ".exe");
            copyFile(staged, helper);
        }
        const std::string before = readBytes(updateDocument());

        EXPECT_EQ(runTessaroHelper(helper), c.message) << c.name;
        EXPECT_EQ(readBytes(installedLauncher()), variantBytes("tessaro-0.9.9")) << c.name;
        EXPECT_EQ(readBytes(updateDocument()), before) << c.name;
        EXPECT_FALSE(present(backupFile())) << c.name;
    }
}

TEST_F(LauncherReplacement, HelperWithoutAnOrderEndsQuietly) {
    installVariant("tessaro-1.0.2");
    fs::path staged = stageVariant("tessaro-1.0.3");
    ChildProcess helper = startHelper(staged, L"--replace-launcher", endedProcessId());
    EXPECT_EQ(helper.wait(60000), std::optional<DWORD>(0));
    EXPECT_EQ(readBytes(installedLauncher()), variantBytes("tessaro-1.0.2"));
    EXPECT_FALSE(present(updateDocument()));
}

TEST_F(LauncherReplacement, HelperReplacesALauncherThatDoesNotMatchItsReceiptWithoutBackup) {
    struct Case {
        const char* name;
        bool receipt;
    } cases[] = {{"no receipt", false}, {"receipt of another launcher", true}};
    for (const Case& c : cases) {
        UserState::reset();
        installVariant("tessaro-1.0.2.9", false);
        if (c.receipt)
            writeFileDurably(launcherReceipt(), variantEnvelope("tessaro-1.0.2"));
        fs::path staged = stageVariant("tessaro-1.0.3");
        writeLauncherUpdateDocument(dataRoot(), setupDocument("tessaro-1.0.3", staged, "1.0.3"));

        EXPECT_EQ(runTessaroHelper(staged), L"") << c.name;
        EXPECT_EQ(readBytes(installedLauncher()), variantBytes("tessaro-1.0.3")) << c.name;
        EXPECT_EQ(readBytes(launcherReceipt()), variantEnvelope("tessaro-1.0.3")) << c.name;
        Json document = readDocument(updateDocument());
        EXPECT_EQ(document["phase"], "complete") << c.name;
        EXPECT_FALSE(document.contains("previousEnvelope")) << c.name;
        EXPECT_FALSE(document.contains("previousSha256")) << c.name;
        EXPECT_FALSE(present(backupFile())) << c.name;
    }
}

TEST_F(LauncherReplacement, NewLauncherFailingItsSelfTestOnceInstalledIsRolledBack) {
    installVariant("tessaro-1.0.2");
    fs::path staged = stageVariant("standin-1.0.3");
    writeLauncherUpdateDocument(dataRoot(), setupDocument("standin-1.0.3", staged, "1.0.3"));

    ChildProcess helper = startHelper(staged, L"--replace-launcher", endedProcessId());
    EXPECT_EQ(helper.wait(60000), std::optional<DWORD>(1));
    std::optional<Json> report = standInReport(L"helper.json");
    ASSERT_TRUE(report.has_value());
    EXPECT_EQ((*report)["error"],
              "Neuer Launcher konnte nicht starten. Bisherige Version wurde wiederhergestellt.");
    EXPECT_EQ(readBytes(installedLauncher()), variantBytes("tessaro-1.0.2"));
    EXPECT_EQ(readBytes(launcherReceipt()), variantEnvelope("tessaro-1.0.2"));
    EXPECT_EQ(readDocument(updateDocument())["phase"], "restored");
}

TEST_F(LauncherReplacement, RollbackNeverRestoresABackupOfAnEarlierOrder) {
    installVariant("tessaro-1.0.2.9", false);
    copyFile(variantExe("tessaro-1.0.2"), backupFile());
    fs::path staged = stageVariant("standin-1.0.3");
    writeLauncherUpdateDocument(dataRoot(), setupDocument("standin-1.0.3", staged, "1.0.3"));

    ChildProcess helper = startHelper(staged, L"--replace-launcher", endedProcessId());
    EXPECT_EQ(helper.wait(60000), std::optional<DWORD>(1));
    std::optional<Json> report = standInReport(L"helper.json");
    ASSERT_TRUE(report.has_value());
    EXPECT_EQ((*report)["error"], "Launcher-Wiederherstellung benötigt erneutes Setup.");
    EXPECT_EQ(readBytes(installedLauncher()), variantBytes("standin-1.0.3"));
    EXPECT_EQ(readDocument(updateDocument())["phase"], "replacing");
}

// The document as a helper leaves it at "replacing" after backing up the 1.0.2 launcher for 1.0.3.
Json replacingDocument(const std::string& newVariant) {
    fs::path staged = stagedLauncherPath(installRoot(), variantSha(newVariant));
    Json document = setupDocument(newVariant, staged, "1.0.3");
    document["phase"] = "replacing";
    document["previousEnvelope"] = variantEnvelope("tessaro-1.0.2");
    document["previousSha256"] = variantSha("tessaro-1.0.2");
    return document;
}

TEST_F(LauncherReplacement, RecoveryResolvesEveryInterruptedReplacement) {
    struct Case {
        const char* name;
        std::string newVariant;
        std::string installed; // empty: no launcher in place
        bool backup;
        bool previousMembers;
        std::string expectedPhase;
        std::string expectedLauncher;
        std::string expectedReceipt;
        std::string message;
        std::string next = {}; // what lies as TESSARO.next.exe
    } cases[] = {
        {"stopped before the move", "tessaro-1.0.3", "tessaro-1.0.2", true, true, "restored", "tessaro-1.0.2",
         "tessaro-1.0.2", ""},
        {"new launcher in place and working", "tessaro-1.0.3", "tessaro-1.0.3", true, true, "complete",
         "tessaro-1.0.3", "tessaro-1.0.3", ""},
        {"new launcher in place but failing", "standin-1.0.3", "standin-1.0.3", true, true, "restored",
         "tessaro-1.0.2", "tessaro-1.0.2", ""},
        {"new launcher failing, backup gone", "standin-1.0.3", "standin-1.0.3", false, true, "replacing",
         "standin-1.0.3", "", "Launcher-Wiederherstellung benötigt erneutes Setup."},
        {"no launcher before, new one working", "tessaro-1.0.3", "tessaro-1.0.3", false, false, "complete",
         "tessaro-1.0.3", "tessaro-1.0.3", ""},
        {"no launcher before, none in place", "tessaro-1.0.3", "", false, false, "replacing", "", "",
         "Launcher-Wiederherstellung benötigt erneutes Setup."},
        {"no launcher before, new one failing", "standin-1.0.3", "standin-1.0.3", false, false, "replacing",
         "standin-1.0.3", "", "Launcher-Wiederherstellung benötigt erneutes Setup."},
        {"unreceipted launcher, swap interrupted", "tessaro-1.0.3", "tessaro-1.0.2.9", false, false,
         "complete", "tessaro-1.0.3", "tessaro-1.0.3", "", "tessaro-1.0.3"},
        {"unreceipted launcher, another file beside it", "tessaro-1.0.3", "tessaro-1.0.2.9", false, false,
         "replacing", "tessaro-1.0.2.9", "", "Launcher-Wiederherstellung benötigt erneutes Setup.",
         "tessaro-0.9.9"},
        {"unreceipted launcher, swapped-in one failing", "standin-1.0.3", "tessaro-1.0.2.9", false, false,
         "replacing", "tessaro-1.0.2.9", "", "Launcher-Wiederherstellung benötigt erneutes Setup.",
         "standin-1.0.3"},
    };
    for (const Case& c : cases) {
        UserState::reset();
        createDirectories(installRoot());
        if (!c.installed.empty())
            installVariant(c.installed, false);
        if (c.backup)
            copyFile(variantExe("tessaro-1.0.2"), backupFile());
        if (!c.next.empty())
            copyFile(variantExe(c.next), installRoot() / L"TESSARO.next.exe");
        Json document = replacingDocument(c.newVariant);
        if (!c.previousMembers) {
            document.erase("previousEnvelope");
            document.erase("previousSha256");
        }
        writeLauncherUpdateDocument(dataRoot(), document);

        std::string message;
        try {
            recoverLauncher();
        } catch (const std::exception& failure) {
            message = failure.what();
        }
        EXPECT_EQ(message, c.message) << c.name;
        EXPECT_EQ(readDocument(updateDocument())["phase"], c.expectedPhase) << c.name;
        if (c.expectedLauncher.empty())
            EXPECT_FALSE(present(installedLauncher())) << c.name;
        else
            EXPECT_EQ(readBytes(installedLauncher()), variantBytes(c.expectedLauncher)) << c.name;
        if (c.expectedReceipt.empty())
            EXPECT_FALSE(present(launcherReceipt())) << c.name;
        else
            EXPECT_EQ(readBytes(launcherReceipt()), variantEnvelope(c.expectedReceipt)) << c.name;
        EXPECT_FALSE(present(recoveryCopy())) << c.name;
        EXPECT_TRUE(probeAnswersLeft().empty()) << c.name;
    }
}

// Started from the Start menu while a replacement without backup waits before its swap, the launcher
// leaves its own file alone: Windows would not delete it once set aside, and a kill between moving it
// aside and moving the new one in left no TESSARO.exe. The order's helper swaps once it has ended.
TEST_F(LauncherReplacement, InstalledLauncherHandsAnInterruptedSwapToTheReplacementHelper) {
    installVariant("tessaro-1.0.2.9", false);
    const fs::path staged = stageVariant("tessaro-1.0.3");
    copyFile(staged, installRoot() / L"TESSARO.next.exe");
    Json document = setupDocument("tessaro-1.0.3", staged, "1.0.3");
    document["phase"] = "replacing";
    writeLauncherUpdateDocument(dataRoot(), document);

    ChildProcess manager = startChild(quoted(installedLauncher()) + L" --manage");
    HWND window = findWindowOfClass(L"CORVALIS.NativeInstaller", 60000);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(sha256FileHex(installedLauncher(), nullptr, {}), variantSha("tessaro-1.0.2.9"));
    EXPECT_EQ(processesNamed(L"launcher-").size(), 1u);
    ::PostMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(manager.wait(30000), std::optional<DWORD>(0));

    ASSERT_TRUE(waitForProcessesToEnd(L"launcher-", 60000));
    EXPECT_EQ(sha256FileHex(installedLauncher(), nullptr, {}), variantSha("tessaro-1.0.3"));
    EXPECT_EQ(readBytes(launcherReceipt()), variantEnvelope("tessaro-1.0.3"));
    EXPECT_EQ(readDocument(updateDocument())["phase"], "complete");
    EXPECT_FALSE(present(recoveryCopy()));
}

// A copy of the previous launcher is needed only by the recovery that made it: one left over goes at
// the next start, whatever the order says, unless that start runs from it.
TEST_F(LauncherReplacement, StartRemovesALeftoverRecoveryCopyItDoesNotRunFrom) {
    struct Case {
        const char* name;
        const char* phase; // nullptr: no order
        bool startedFromCopy;
        bool removed;
    } cases[] = {
        {"no order", nullptr, false, true},
        {"order complete", "complete", false, true},
        {"order replacing, old launcher in place", "replacing", false, true},
        {"started from the copy", nullptr, true, false},
    };
    for (const Case& c : cases) {
        UserState::reset();
        installVariant("tessaro-1.0.2");
        copyFile(variantExe("tessaro-1.0.2"), recoveryCopy());
        if (c.phase) {
            Json document = replacingDocument("tessaro-1.0.3");
            document["phase"] = c.phase;
            writeLauncherUpdateDocument(dataRoot(), document);
        }
        const fs::path started = c.startedFromCopy ? recoveryCopy() : installedLauncher();
        ChildProcess manager = startChild(quoted(started) + L" --manage");
        HWND window = findWindowOfClass(L"CORVALIS.NativeInstaller", 60000);
        ASSERT_NE(window, nullptr) << c.name;
        EXPECT_EQ(present(recoveryCopy()), !c.removed) << c.name;
        ::PostMessageW(window, WM_CLOSE, 0, 0);
        EXPECT_EQ(manager.wait(30000), std::optional<DWORD>(0)) << c.name;
    }
}

TEST_F(LauncherReplacement, BothCopiesAreOnDiskBeforeTheOrderSaysReplacing) {
    installVariant("tessaro-1.0.2");
    const fs::path staged = stageVariant("tessaro-1.0.3");
    Json document = setupDocument("tessaro-1.0.3", staged, "1.0.3");
    std::vector<std::string> steps;
    const SwapSteps disk = diskSwapSteps();
    const SwapSteps recorder{[&](const fs::path& file) {
                                 steps.push_back("flush " + toUtf8(file.filename().native()));
                                 return disk.flush(file);
                             },
                             [&](const fs::path& root, const Json& order) {
                                 steps.push_back("order " + order.value("phase", std::string()));
                                 disk.writeDocument(root, order);
                             }};
    prepareSwap(staged, installRoot(), dataRoot(), document, recorder);
    EXPECT_EQ(steps, (std::vector<std::string>{"flush TESSARO.next.exe", "flush launcher-previous.exe",
                                               "order replacing"}));
    EXPECT_EQ(readBytes(installRoot() / L"TESSARO.next.exe"), variantBytes("tessaro-1.0.3"));
}

TEST_F(LauncherReplacement, RecoveryIgnoresEveryPhaseButReplacing) {
    for (const char* phase : {"", "prepared", "complete", "restored"}) {
        UserState::reset();
        Json document = replacingDocument("tessaro-1.0.3");
        if (std::string(phase).empty())
            document.erase("phase");
        else
            document["phase"] = phase;
        writeLauncherUpdateDocument(dataRoot(), document);
        EXPECT_NO_THROW(recoverLauncher()) << phase;
        EXPECT_EQ(readBytes(updateDocument()), dumpCompact(document)) << phase;
        EXPECT_FALSE(present(installedLauncher())) << phase;
    }
    UserState::reset();
    EXPECT_NO_THROW(recoverLauncher());
}

// A first-time user whose launcher swap failed with no launcher to go back to: every start used to end
// with the recovery's message; now the manager opens after it, in launch mode as well.
TEST_F(LauncherReplacement, FailedRecoveryShowsItsMessageAndOpensTheManager) {
    struct Case {
        const char* name;
        bool installed;
    } cases[] = {{"download folder", false}, {"installed launcher", true}};
    for (const Case& c : cases) {
        UserState::reset();
        Json document = replacingDocument("tessaro-1.0.3");
        document.erase("previousEnvelope");
        document.erase("previousSha256");
        writeLauncherUpdateDocument(dataRoot(), document);
        fs::path launcher = tessaroExe();
        if (c.installed) {
            installVariant("tessaro-0.9.9");
            launcher = installedLauncher();
        }
        ChildProcess start = startChild(quoted(launcher));
        auto box = dismissMessageBox(L"TESSARO Installer", 60000);
        ASSERT_TRUE(box.has_value()) << c.name;
        EXPECT_EQ(box->text, L"Launcher-Wiederherstellung ben\u00f6tigt erneutes Setup.") << c.name;
        HWND window = findWindowOfClass(L"CORVALIS.NativeInstaller", 60000);
        ASSERT_NE(window, nullptr) << c.name;
        ::PostMessageW(window, WM_CLOSE, 0, 0);
        EXPECT_EQ(start.wait(30000), std::optional<DWORD>(0)) << c.name;
    }
}

} // namespace
} // namespace tess
