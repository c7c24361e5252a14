#include "activation/launch.hpp"
#include "activation/switch.hpp"
#include "activation_support.hpp"
#include "foundation/error.hpp"
#include "install/receipts.hpp"

#include <gtest/gtest.h>

namespace tess {
namespace {
namespace fs = std::filesystem;

class Switch : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(test::awaitNoApplication()) << "an application of an earlier test runs";
    }
    void TearDown() override { EXPECT_TRUE(test::awaitNoApplication()); }

    std::string switchFailure(const std::string& releaseId, std::uint32_t& parent, std::string& pipe) {
        return test::failureOf([&] {
            switchTo(installation.client, loadReceipt(installation.client, releaseId), parent, pipe);
        });
    }
    std::string switchFailure(const std::string& releaseId) {
        std::uint32_t parent = 0;
        std::string pipe;
        return switchFailure(releaseId, parent, pipe);
    }

    test::ScratchInstallation installation;
};

// The running version asks for the switch, approves and exits; a later failure of the switch must not
// leave its hand-over behind, or every retry would look for a process that is gone.
TEST_F(Switch, TheHandOverIsUsedOnceTheApplicationHasApprovedAndExited) {
    const std::string running = installation.install("desktop-approve");
    const std::string refusing = installation.install("refuse");
    const std::string b = installation.install("b");
    ASSERT_EQ(switchFailure(running), "");
    const Json seen = installation.startRecord();
    std::uint32_t parent = seen.at("processId").get<std::uint32_t>();
    std::string pipe = seen.at("desktopPipe").get<std::string>();
    ASSERT_TRUE(isApplicationRunning(0));
    const Json before = installation.document(L"current.json");

    EXPECT_EQ(switchFailure(refusing, parent, pipe), "Profil ist gesperrt.");
    EXPECT_EQ(parent, 0u);
    EXPECT_EQ(pipe, "");
    EXPECT_FALSE(isApplicationRunning(0));
    EXPECT_EQ(installation.document(L"current.json"), before);

    EXPECT_EQ(switchFailure(b, parent, pipe), "");
    EXPECT_EQ(installation.document(L"current.json").at("active"), b);
}

TEST_F(Switch, AFailedHandshakeKeepsTheHandOverAndTheState) {
    const std::string a = installation.install("a");
    ASSERT_EQ(switchFailure(a), "");
    ASSERT_TRUE(test::awaitNoApplication());
    const Json before = installation.document(L"current.json");
    std::uint32_t parent = ::GetCurrentProcessId();
    std::string pipe = "TESSARO-Updater-nobody-serves-this";
    EXPECT_EQ(switchFailure(a, parent, pipe),
              "Anwendung antwortet nicht. Die installierte Version bleibt vorbereitet.");
    EXPECT_EQ(parent, ::GetCurrentProcessId());
    EXPECT_EQ(pipe, "TESSARO-Updater-nobody-serves-this");
    EXPECT_EQ(installation.document(L"current.json"), before);
}

TEST_F(Switch, RefusesWhileAnApplicationRunsOrWhenCancelled) {
    const std::string a = installation.install("a");
    installation.client.progress.cancelled = true;
    EXPECT_EQ(switchFailure(a), "Versionswechsel abgebrochen. Die vorbereitete Version bleibt erhalten.");
    installation.client.progress.cancelled = false;
    {
        test::prepareTestApp(installation.scratch / L"running", Json{{"afterStartMs", 20000}});
        test::RunningApp app = test::startRecordedApp(installation.scratch / L"running" / L"appTESSARO.exe",
                                                      installation.scratch / L"running-records");
        EXPECT_EQ(switchFailure(a), "Eine TESSARO-Anwendung läuft noch. Bitte regulär beenden.");
    }
    EXPECT_FALSE(fs::exists(installation.data(L"current.json")));
    EXPECT_FALSE(fs::exists(installation.data(L"journal.json")));
}

TEST_F(Switch, APreflightWithoutRollbackSafeForbidsTheReturn) {
    const std::string a = installation.install("a");
    const std::string unsafe = installation.install("a-unsafe");
    ASSERT_EQ(switchFailure(a), "");
    ASSERT_TRUE(test::awaitNoApplication());
    ASSERT_EQ(switchFailure(unsafe), "");
    EXPECT_EQ(installation.document(L"current.json"), (Json{{"active", unsafe},
                                                            {"lastGood", unsafe},
                                                            {"pending", false},
                                                            {"previous", a},
                                                            {"profileSchema", 1},
                                                            {"rollbackSafe", false}}));
}

} // namespace
} // namespace tess
