#include "activation/launch.hpp"
#include "activation/switch.hpp"
#include "activation_support.hpp"
#include "foundation/error.hpp"
#include "foundation/text.hpp"
#include "install/receipts.hpp"
#include "support/waits.hpp"

#include <gtest/gtest.h>

#include <ctime>
#include <regex>

namespace tess {
namespace {
namespace fs = std::filesystem;

const std::string noConfirmation = "TESSARO hat den Start nicht bestätigt.";
const std::string profileRefusal =
    "Die neue Version konnte nicht starten. Das Profil erlaubt keinen automatischen "
    "Rückwechsel; bitte kompatible Version reparieren.";
const std::string restoredLine =
    "Vorherige kompatible Version ist wieder ausgewählt. Benutzerprojekte bleiben unverändert.";

void switchWithoutHandOver(test::ScratchInstallation& installation, const std::string& releaseId) {
    std::uint32_t parent = 0;
    std::string pipe;
    switchTo(installation.client, loadReceipt(installation.client, releaseId), parent, pipe);
}

std::string switchFailure(test::ScratchInstallation& installation, const std::string& releaseId) {
    return test::failureOf([&] { switchWithoutHandOver(installation, releaseId); });
}

// Ends a test application the test left running on purpose.
void endApplication(std::uint32_t processId) {
    KernelHandle process(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, processId));
    if (process) {
        ::TerminateProcess(process.get(), 99);
        ::WaitForSingleObject(process.get(), 10000);
    }
}

class Launch : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(test::awaitNoApplication()) << "an application of an earlier test runs";
    }
    void TearDown() override { EXPECT_TRUE(test::awaitNoApplication()); }
    test::ScratchInstallation installation;
};

TEST_F(Launch, SwitchingToASecondVersionEndsWithItsConfirmedStart) {
    const std::string a = installation.install("a");
    const std::string b = installation.install("b");
    switchWithoutHandOver(installation, a);
    EXPECT_EQ(installation.document(L"current.json"), (Json{{"active", a},
                                                            {"lastGood", a},
                                                            {"pending", false},
                                                            {"previous", ""},
                                                            {"profileSchema", 1},
                                                            {"rollbackSafe", true}}));
    ASSERT_TRUE(test::awaitNoApplication());

    installation.lines.clear();
    switchWithoutHandOver(installation, b);
    EXPECT_EQ(installation.document(L"current.json"), (Json{{"active", b},
                                                            {"lastGood", b},
                                                            {"pending", false},
                                                            {"previous", a},
                                                            {"profileSchema", 1},
                                                            {"rollbackSafe", true}}));
    EXPECT_FALSE(fs::exists(installation.data(L"journal.json")));
    for (const char* line :
         {"Versionswechsel wird vorbereitet …", "Kompatibilität der installierten Version wird geprüft …",
          "TESSARO wird gestartet …", "TESSARO wurde erfolgreich gestartet."})
        EXPECT_TRUE(installation.reported(line)) << line;

    // What the application was given: its pipe name, the launcher's path, its own folder.
    const Json seen = installation.startRecord();
    const fs::path folder = installation.client.installRoot / L"releases" / toWide(b);
    EXPECT_TRUE(std::regex_match(seen.at("environment").at("CORVALIS_LAUNCHER_PIPE").get<std::string>(),
                                 std::regex("TESSARO-Updater-[0-9a-f]{32}")));
    EXPECT_EQ(seen.at("environment").at("CORVALIS_LAUNCHER_PATH"),
              toUtf8((installation.client.installRoot / L"TESSARO.exe").native()));
    EXPECT_EQ(seen.at("currentDirectory"), toUtf8(folder.native()));
    EXPECT_EQ(seen.at("arguments"), Json::array());
    EXPECT_FALSE(seen.at("hidden").get<bool>());
    EXPECT_EQ(::GetEnvironmentVariableW(L"CORVALIS_LAUNCHER_PIPE", nullptr, 0), 0u);
    ASSERT_TRUE(test::awaitNoApplication());

    // Switching to the active version again keeps the older fallback.
    switchWithoutHandOver(installation, b);
    EXPECT_EQ(installation.document(L"current.json").at("previous"), a);
}

TEST_F(Launch, AConfirmationOfAnotherBuildIsRefusedAndTheApplicationKeepsRunning) {
    const std::string a = installation.install("a");
    const std::string wrong = installation.install("wrong-build");
    switchWithoutHandOver(installation, a);
    ASSERT_TRUE(test::awaitNoApplication());

    EXPECT_EQ(switchFailure(installation, wrong), "Startbestätigung ist mit der Freigabe nicht vereinbar.");
    EXPECT_TRUE(isApplicationRunning(0));
    const Json current = installation.document(L"current.json");
    EXPECT_EQ(current.at("active"), wrong);
    EXPECT_EQ(current.at("pending"), true);
    const Json journal = installation.document(L"journal.json");
    EXPECT_EQ(journal.at("phase"), "launching");
    EXPECT_EQ(journal.at("releaseId"), wrong);

    // The next start does not recover while the new version runs.
    recoverAfterFailedStart(installation.client);
    EXPECT_EQ(installation.document(L"current.json"), current);
    EXPECT_FALSE(fs::exists(installation.data(L"recovery.json")));
    endApplication(journal.at("pid").get<std::uint32_t>());
}

TEST_F(Launch, SlowAVersionThatExitsBeforeConnectingReturnsToThePreviousOne) {
    test::ProductWaits productWaits;
    const std::string a = installation.install("a");
    const std::string failing = installation.install("exit-early-safe");
    switchWithoutHandOver(installation, a);
    ASSERT_TRUE(test::awaitNoApplication());
    installation.lines.clear();

    const std::time_t before = std::time(nullptr);
    EXPECT_EQ(switchFailure(installation, failing), noConfirmation);
    const Json current = installation.document(L"current.json");
    EXPECT_EQ(current.at("active"), a);
    EXPECT_EQ(current.at("failed"), failing);
    EXPECT_EQ(current.at("pending"), false);
    const Json recovery = installation.document(L"recovery.json");
    EXPECT_EQ(recovery.at("restored"), a);
    EXPECT_GE(recovery.at("at").get<std::int64_t>(), before);
    EXPECT_FALSE(fs::exists(installation.data(L"journal.json")));
    EXPECT_EQ(installation.lines.back(), restoredLine);
}

// The start's own failure is what the caller sees, also when the return to the previous version fails.
TEST_F(Launch, AFailedReturnIsReportedAndTheFailedStartPassedOn) {
    const std::string a = installation.install("a");
    const std::string failing = installation.install("exit-early-unsafe");
    switchWithoutHandOver(installation, a);
    ASSERT_TRUE(test::awaitNoApplication());
    installation.lines.clear();

    EXPECT_EQ(switchFailure(installation, failing), noConfirmation);
    EXPECT_EQ(installation.lines.back(), profileRefusal);
    const Json current = installation.document(L"current.json");
    EXPECT_EQ(current.at("active"), failing);
    EXPECT_EQ(current.at("pending"), true);
    EXPECT_EQ(current.at("rollbackSafe"), false);
    EXPECT_FALSE(fs::exists(installation.data(L"recovery.json")));
    // Until the user repairs or switches, every start ends the same way.
    EXPECT_EQ(test::failureOf([&] { recoverAfterFailedStart(installation.client); }), profileRefusal);
}

TEST_F(Launch, RefusesBeforeStartingAnything) {
    const std::string a = installation.install("a");
    struct Case {
        const char* label;
        Json current;
        bool cancelled;
        std::string expected;
    } cases[] = {
        {"no current.json", Json(), false, "Bitte zuerst eine Softwareversion installieren und auswählen."},
        {"no id", Json{{"active", "a"}}, false,
         "Bitte zuerst eine Softwareversion installieren und auswählen."},
        {"no receipt", Json{{"active", "00000000-0000-4000-8000-0000000000ff"}}, false,
         "Datei fehlt oder ist zu groß: 00000000-0000-4000-8000-0000000000ff.json"},
        {"cancelled", Json{{"active", a}}, true, "Abgebrochen. Vorhandene Installation bleibt erhalten."},
    };
    for (const auto& c : cases) {
        fs::remove(installation.data(L"current.json"));
        if (!c.current.is_null())
            installation.writeDocument(L"current.json", c.current);
        installation.client.progress.cancelled = c.cancelled;
        EXPECT_EQ(test::failureOf([&] { launchActive(installation.client); }), c.expected) << c.label;
        EXPECT_FALSE(fs::exists(installation.data(L"journal.json"))) << c.label;
        EXPECT_FALSE(isApplicationRunning(0)) << c.label;
    }
    installation.client.progress.cancelled = false;

    // Cancelled while the preflight runs: still nothing is started.
    installation.writeDocument(L"current.json", Json{{"active", a}});
    installation.client.progress.report = [&](const std::string& text, std::uint64_t, std::uint64_t) {
        if (text == "Kompatibilität der installierten Version wird geprüft …")
            installation.client.progress.cancelled = true;
    };
    EXPECT_EQ(test::failureOf([&] { launchActive(installation.client); }),
              "Start abgebrochen. Die installierte Version bleibt erhalten.");
    EXPECT_FALSE(fs::exists(installation.data(L"journal.json")));
    EXPECT_FALSE(isApplicationRunning(0));
    installation.client.progress.cancelled = false;

    // A changed file is found before anything runs.
    test::writeBytes(installation.client.installRoot / L"releases" / toWide(a) / L"testapp-behaviour.json",
                     "{ }");
    EXPECT_EQ(test::failureOf([&] { launchActive(installation.client); }),
              "Programmdatei beschädigt: testapp-behaviour.json");
}

TEST_F(Launch, RefusesWhileAnApplicationOfThisUserRuns) {
    const std::string a = installation.install("a");
    installation.writeDocument(L"current.json", Json{{"active", a}});
    test::prepareTestApp(installation.scratch / L"running", Json{{"afterStartMs", 20000}});
    test::RunningApp running = test::startRecordedApp(installation.scratch / L"running" / L"appTESSARO.exe",
                                                      installation.scratch / L"running-records");
    EXPECT_TRUE(isApplicationRunning(0));
    EXPECT_FALSE(isApplicationRunning(running.started.processId));
    EXPECT_EQ(test::failureOf([&] { launchActive(installation.client); }),
              "TESSARO läuft bereits. Bitte zum vorhandenen Fenster wechseln.");
}

TEST_F(Launch, OnlyAProgramNamedLikeTheApplicationCountsAsRunning) {
    test::prepareTestApp(installation.scratch / L"other", Json{{"afterStartMs", 20000}}, L"other.exe");
    test::RunningApp other = test::startRecordedApp(installation.scratch / L"other" / L"other.exe",
                                                    installation.scratch / L"records");
    EXPECT_FALSE(isApplicationRunning(0));
}

TEST(IsApplicationRunning, AnApplicationOfAnotherUserDoesNotCount) {
    if (test::runningUnderWine())
        GTEST_SKIP() << "Wine: every process runs as the same user";
}

// Recovery as the next launcher start runs it, from the state a failed start left behind.
TEST_F(Launch, RecoveryFollowsTheSwitchAndThePreviousVersionsPreflight) {
    const std::string a = installation.install("a");
    const std::string unsafe = installation.install("a-unsafe");
    const std::string failed = "00000000-0000-4000-8000-000000000c05";
    struct Case {
        const char* label;
        Json current;
        std::string expected;
        Json after; // null: unchanged
        const char* phase = "launching";
    } cases[] = {
        {"nothing pending", Json{{"active", failed}, {"pending", false}, {"previous", a}}, "", Json()},
        {"no previous", Json{{"active", failed}, {"pending", true}, {"rollbackSafe", true}}, "", Json()},
        {"switch not rollback safe", Json{{"active", failed}, {"pending", true}, {"previous", a}},
         profileRefusal, Json()},
        {"previous refuses the return",
         Json{{"active", failed}, {"pending", true}, {"previous", unsafe}, {"rollbackSafe", true}},
         "Profil wurde geändert; automatischer Rückwechsel ist gesperrt.", Json()},
        {"returns", Json{{"active", failed}, {"pending", true}, {"previous", a}, {"rollbackSafe", true}}, "",
         Json{
             {"active", a}, {"failed", failed}, {"pending", false}, {"previous", a}, {"rollbackSafe", true}}},
        // A switch ended between its state change and the start: the new version never ran, nothing failed.
        {"switch ended before the start",
         Json{{"active", failed}, {"pending", true}, {"previous", a}, {"rollbackSafe", true}}, "", Json(),
         "activating"},
    };
    for (const auto& c : cases) {
        installation.writeDocument(L"current.json", c.current);
        installation.writeDocument(L"journal.json", Json{{"phase", c.phase}, {"releaseId", failed}});
        fs::remove(installation.data(L"recovery.json"));
        installation.lines.clear();
        EXPECT_EQ(test::failureOf([&] { recoverAfterFailedStart(installation.client); }), c.expected)
            << c.label;
        const bool returned = !c.after.is_null();
        EXPECT_EQ(installation.document(L"current.json"), returned ? c.after : c.current) << c.label;
        EXPECT_EQ(fs::exists(installation.data(L"recovery.json")), returned) << c.label;
        EXPECT_EQ(fs::exists(installation.data(L"journal.json")), !returned) << c.label;
        EXPECT_EQ(installation.reported(restoredLine), returned) << c.label;
    }
    // A journal that cannot be read says nothing about a start in progress: it is kept aside and the
    // recovery goes on as without one.
    test::writeBytes(installation.data(L"journal.json"), "{");
    installation.lines.clear();
    EXPECT_EQ(test::failureOf([&] { recoverAfterFailedStart(installation.client); }), "");
    EXPECT_TRUE(installation.reported("Gespeicherter Zustand ist beschädigt (journal.json). Installierte "
                                      "Versionen bleiben erhalten; bitte eine Version auswählen und "
                                      "installieren."));
    EXPECT_TRUE(installation.reported(restoredLine));
    EXPECT_EQ(installation.document(L"current.json").at("active"), a);
    int setAside = 0;
    for (const auto& entry : fs::directory_iterator(installation.client.dataRoot))
        setAside += entry.path().filename().native().starts_with(L"journal.json.damaged-") &&
                    test::readBytes(entry.path()) == "{";
    EXPECT_EQ(setAside, 1);
}

} // namespace
} // namespace tess
