#include "launcher/selftest.hpp"
#include "launcher_fixture.hpp"

#include <gtest/gtest.h>

#include <future>

namespace tess {
namespace {

using namespace test;

fs::path standInNamed(const ScratchFolder& folder, const std::wstring& name) {
    fs::path candidate = folder / L"candidates" / name;
    copyFile(binaryDir() / L"bin" / L"launcher_standin.exe", candidate);
    return candidate;
}

TEST(LauncherSelfTest, TrustsOnlyACandidateThatNamesItsOwnHashAndTheExpectedVersion) {
    ScratchFolder answers;
    struct Case {
        std::string variant;
        std::string expectedVersion;
        bool trusted;
    } cases[] = {
        {"tessaro-1.0.2", "1.0.2", true},  {"tessaro-1.0.2", "", true},
        {"tessaro-1.0.2", "1.0.3", false}, {"tessaro-1.0.3", "1.0.3", true},
        {"tessaro-1.0.3", "1.0.2", false}, {"tessaro-1.0.3", "", true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(runLauncherSelfTest(variantExe(c.variant), answers.path(), c.expectedVersion), c.trusted)
            << c.variant << " expecting '" << c.expectedVersion << "'";
        EXPECT_TRUE(entriesOf(answers.path()).empty()) << c.variant;
    }
}

TEST(LauncherSelfTest, ALauncherInALinkedDownloadsFolderAnswersWithItsOwnHash) {
    ScratchFolder answers;
    const fs::path candidate = linkedDownloads() / L"TESSARO-selftest.exe";
    copyFile(variantExe("tessaro-1.0.2"), candidate);
    const fs::path answer = answers / L"answer.json";
    const std::optional<DWORD> exitCode = runDriver(candidate, L"--launcher-selftest " + quoted(answer));
    ::DeleteFileW(candidate.c_str());
    ASSERT_EQ(exitCode, std::optional<DWORD>(0));
    EXPECT_EQ(readDocument(answer).at("sha256"), variantSha("tessaro-1.0.2"));
}

TEST(LauncherSelfTest, RefusesACandidateThatCannotStart) {
    ScratchFolder answers;
    EXPECT_FALSE(runLauncherSelfTest(answers / L"missing.exe", answers.path(), ""));
}

TEST(LauncherSelfTest, RefusesACorrectAnswerWithExitCodeOneAndRemovesIt) {
    ScratchFolder folder;
    fs::path candidate = standInNamed(folder, L"exit-one.exe");
    fs::path answers = folder / L"answers";
    fs::create_directories(answers);
    EXPECT_FALSE(runLauncherSelfTest(candidate, answers, "1.0.2"));
    EXPECT_TRUE(entriesOf(answers).empty());
}

TEST(LauncherSelfTest, TerminatesACandidateThatHangsWithExitCode198) {
    ScratchFolder folder;
    fs::path candidate = standInNamed(folder, L"sleeper.exe");
    auto started = std::chrono::steady_clock::now();
    auto verdict =
        std::async(std::launch::async, [&] { return runLauncherSelfTest(candidate, folder.path(), ""); });

    std::vector<KernelHandle> sleepers;
    while (sleepers.empty() && std::chrono::steady_clock::now() - started < std::chrono::seconds(10))
        sleepers = processesNamed(L"sleeper.exe");
    ASSERT_EQ(sleepers.size(), 1u);
    EXPECT_FALSE(verdict.get());
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::seconds(15));
    ASSERT_EQ(::WaitForSingleObject(sleepers.front().get(), 10000), WAIT_OBJECT_0);
    DWORD exitCode = 0;
    ASSERT_TRUE(::GetExitCodeProcess(sleepers.front().get(), &exitCode));
    EXPECT_EQ(exitCode, 198u);
}

} // namespace
} // namespace tess
