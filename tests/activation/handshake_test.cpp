#include "activation/handshake.hpp"
#include "activation/startup_pipe.hpp"
#include "activation_support.hpp"
#include "foundation/crypto.hpp"
#include "foundation/error.hpp"
#include "support/waits.hpp"

#include <gtest/gtest.h>

namespace tess {
namespace {
namespace fs = std::filesystem;

const std::string target = "00000000-0000-4000-8000-000000000b02";

// A running test application that serves its update pipe as the behaviour says.
struct DesktopApp {
    test::ScratchFolder scratch;
    test::RunningApp app;
    std::uint32_t pid() const { return app.started.processId; }
    std::string pipe() const { return app.seen.value("desktopPipe", std::string()); }
    Json request() const { return test::awaitJsonFile(scratch / L"records" / L"desktop-request.json", 5000); }
};

std::unique_ptr<DesktopApp> startDesktopApp(const Json& behaviour) {
    auto desktop = std::make_unique<DesktopApp>();
    test::prepareTestApp(desktop->scratch / L"app", behaviour);
    desktop->app =
        test::startRecordedApp(desktop->scratch / L"app" / L"appTESSARO.exe", desktop->scratch / L"records");
    return desktop;
}

std::string handshake(std::uint32_t pid, const std::string& pipe, bool cancelled = false) {
    std::atomic<bool> flag{cancelled};
    try {
        awaitApplicationExit(pid, pipe, target, flag);
        return "";
    } catch (const std::exception& error) {
        return error.what();
    }
}

TEST(AwaitApplicationExit, FollowsTheApplicationsAnswer) {
    struct Case {
        const char* mode;
        std::string expected;
        bool exits;
        std::string answer;
    } cases[] = {
        {"approve", "", true},
        {"split", "", true},
        {"decline", "Versionswechsel wurde abgebrochen. Vorbereiteter Stand bleibt erhalten.", false},
        {"close", "Updateverbindung geschlossen. Vorbereiteter Stand bleibt erhalten.", false},
        {"raw", "Versionswechsel wurde abgebrochen. Vorbereiteter Stand bleibt erhalten.", false, "[1]\n"},
        {"raw", "Versionswechsel wurde abgebrochen. Vorbereiteter Stand bleibt erhalten.", false,
         "{\"type\":7}\n"},
    };
    for (const auto& c : cases) {
        auto desktop = startDesktopApp(
            Json{{"desktopPipe", c.mode}, {"desktopAnswer", c.answer}, {"afterStartMs", 5000}});
        ASSERT_FALSE(desktop->pipe().empty()) << c.mode;
        EXPECT_EQ(handshake(desktop->pid(), desktop->pipe()), c.expected) << c.mode;
        EXPECT_EQ(desktop->request().value("request", std::string()),
                  "{\"releaseId\":\"" + target + "\",\"type\":\"ready\"}\n")
            << c.mode;
        EXPECT_EQ(desktop->app.exited(0), c.exits) << c.mode;
    }
}

TEST(AwaitApplicationExit, RefusesBeforeConnectingWhenTheHandOverIsIncomplete) {
    auto desktop = startDesktopApp(Json{{"desktopPipe", "approve"}});
    struct Case {
        std::uint32_t pid;
        std::string pipe;
        std::string expected;
    } cases[] = {
        {0, desktop->pipe(), "Die laufende Anwendung muss vor dem Wechsel geschlossen werden."},
        {desktop->pid(), "", "Die laufende Anwendung muss vor dem Wechsel geschlossen werden."},
        {0xFFFFFFF0u, desktop->pipe(), "Vorherige Anwendung nicht erreichbar."},
        {desktop->pid(), "Other-Updater-" + randomId(), "Ungültige Updateverbindung."},
        {desktop->pid(), "TESSARO-Updater-" + randomId(),
         "Anwendung antwortet nicht. Die installierte Version bleibt vorbereitet."},
    };
    for (const auto& c : cases)
        EXPECT_EQ(handshake(c.pid, c.pipe), c.expected) << c.pipe;
    // None of them reached the application.
    EXPECT_FALSE(fs::exists(desktop->scratch / L"records" / L"desktop-request.json"));
    EXPECT_FALSE(desktop->app.exited(0));
}

TEST(AwaitApplicationExit, RefusesAPipeServedByAnotherProcess) {
    auto desktop = startDesktopApp(Json{{"startup", "never-connect"}, {"afterStartMs", 30000}});
    const std::string name = "TESSARO-Updater-" + randomId();
    StartupPipe impostor = createStartupPipe(name);
    EXPECT_EQ(handshake(desktop->pid(), name), "Updateverbindung gehört nicht zur erwarteten Anwendung.");
}

TEST(AwaitApplicationExit, CancellingWhileWaitingForTheAnswerKeepsTheApplication) {
    auto desktop = startDesktopApp(Json{{"desktopPipe", "decline"}, {"afterStartMs", 5000}});
    EXPECT_EQ(handshake(desktop->pid(), desktop->pipe(), true),
              "Versionswechsel abgebrochen; vorbereitete Version bleibt erhalten.");
    EXPECT_FALSE(desktop->app.exited(0));
}

TEST(AwaitApplicationExit, SlowAnApplicationThatApprovesButKeepsRunningEndsTheSwitch) {
    test::ProductWaits productWaits;
    auto desktop = startDesktopApp(Json{{"desktopPipe", "keep-running"}});
    const ULONGLONG started = ::GetTickCount64();
    EXPECT_EQ(handshake(desktop->pid(), desktop->pipe()),
              "Anwendung läuft noch. Bitte regulär beenden und Version danach starten.");
    EXPECT_GE(::GetTickCount64() - started, 119000u);
    EXPECT_FALSE(desktop->app.exited(0));
}

} // namespace
} // namespace tess
