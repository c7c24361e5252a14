#include "activation/preflight.hpp"
#include "activation_support.hpp"
#include "foundation/error.hpp"
#include "foundation/text.hpp"
#include "support/waits.hpp"

#include <gtest/gtest.h>

#include <regex>

namespace tess {
namespace {
namespace fs = std::filesystem;

const std::string defaultRefusal = "Benutzerprofil ist mit dieser Version nicht kompatibel.";

std::vector<fs::path> filesIn(const fs::path& folder) {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(folder))
        files.push_back(entry.path().filename());
    return files;
}

TEST(RunPreflight, AcceptsOnlyOkTrueWithExitCodeZero) {
    struct Case {
        const char* label;
        Json behaviour;
        std::string refusal; // empty: accepted
    } cases[] = {
        {"accept", {{"preflight", "accept"}, {"profileSchema", 2}, {"rollbackSafe", true}}, ""},
        {"refuse with text",
         {{"preflight", "refuse"}, {"preflightError", "Profil ist gesperrt."}},
         "Profil ist gesperrt."},
        {"refuse without text", {{"preflight", "refuse"}}, defaultRefusal},
        {"ok but exit 1",
         {{"preflight", "exit-1"}, {"preflightError", "Profil wird migriert."}},
         "Profil wird migriert."},
        {"ok but exit 1, no text", {{"preflight", "exit-1"}}, defaultRefusal},
        {"exit 0 without answer", {{"preflight", "no-answer"}}, defaultRefusal},
    };
    for (const auto& c : cases) {
        test::ScratchFolder scratch;
        test::prepareTestApp(scratch / L"version", c.behaviour);
        fs::create_directories(scratch / L"data");
        try {
            Json answer = runPreflight(scratch / L"version", scratch / L"data");
            EXPECT_EQ(c.refusal, "") << c.label;
            EXPECT_EQ(answer, (Json{{"ok", true}, {"profileSchema", 2}, {"rollbackSafe", true}})) << c.label;
        } catch (const Error& error) {
            EXPECT_EQ(error.what(), c.refusal) << c.label;
        }
        // The answer is read once and deleted; the application's own record stays beside it.
        std::vector<fs::path> left = filesIn(scratch / L"data");
        ASSERT_EQ(left.size(), 1u) << c.label;
        const std::string record = toUtf8(left.front().native());
        EXPECT_TRUE(std::regex_match(record, std::regex("preflight-[0-9a-f]{32}\\.json\\.seen\\.json")))
            << record;
        const Json seen = parse(test::readBytes(scratch / L"data" / left.front()));
        const std::string answerPath =
            toUtf8((scratch / L"data" / record.substr(0, record.size() - 10)).native());
        EXPECT_EQ(seen.at("arguments"), Json({"--update-preflight", answerPath})) << c.label;
        EXPECT_TRUE(seen.at("hidden").get<bool>()) << c.label;
        EXPECT_EQ(seen.at("currentDirectory"), toUtf8((scratch / L"version").native())) << c.label;
    }
}

TEST(RunPreflight, AnOkThatIsNoBoolRaisesTheLibraryTypeError) {
    test::ScratchFolder scratch;
    test::prepareTestApp(scratch / L"version", Json{{"preflight", "ok-text"}});
    fs::create_directories(scratch / L"data");
    EXPECT_THROW(runPreflight(scratch / L"version", scratch / L"data"), Json::type_error);
}

// A preflight still running at the time-out is refused and left running.
void expectLatePreflightRefused() {
    const std::uint32_t limit = build::waits().preflightMs;
    test::ScratchFolder scratch;
    test::prepareTestApp(scratch / L"version",
                         Json{{"preflight", "accept"}, {"preflightDelayMs", limit + 1000}});
    fs::create_directories(scratch / L"data");
    const ULONGLONG started = ::GetTickCount64();
    try {
        (void)runPreflight(scratch / L"version", scratch / L"data");
        FAIL() << "a late preflight was accepted";
    } catch (const Error& error) {
        EXPECT_STREQ(error.what(), "Kompatibilitätsprüfung antwortet nicht. Kein Versionswechsel.");
    }
    const ULONGLONG elapsed = ::GetTickCount64() - started;
    EXPECT_GE(elapsed, limit - 100u);
    EXPECT_LT(elapsed, limit + 1000u);
    // It was not terminated: it still writes its answer, which is left for it.
    EXPECT_TRUE(isApplicationRunning(0));
    bool answered = false;
    for (int wait = 0; wait < 100 && !answered; ++wait, ::Sleep(100))
        answered = filesIn(scratch / L"data").size() == 2;
    EXPECT_TRUE(answered);
    EXPECT_TRUE(test::awaitNoApplication());
}

TEST(RunPreflight, APreflightStillRunningAtTheTimeOutIsRefusedAndLeftRunning) {
    expectLatePreflightRefused();
}

TEST(RunPreflight, SlowAPreflightStillRunningAfter15SecondsIsRefusedAndLeftRunning) {
    test::ProductWaits productWaits;
    expectLatePreflightRefused();
}

TEST(RunPreflight, AMissingApplicationCannotBeStarted) {
    test::ScratchFolder scratch;
    try {
        (void)runPreflight(scratch.path(), scratch.path());
        FAIL() << "started a missing application";
    } catch (const Error& error) {
        EXPECT_STREQ(error.what(), "Programm konnte nicht gestartet werden.");
    }
}

} // namespace
} // namespace tess
