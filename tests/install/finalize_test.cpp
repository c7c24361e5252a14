#include "foundation/error.hpp"
#include "foundation/handles.hpp"
#include "install/finalize.hpp"
#include "package_fixtures.hpp"
#include "support/links.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <thread>

namespace tess {
namespace {
namespace fs = std::filesystem;

constexpr char keptSentence[] = " Die vorbereiteten Dateien bleiben erhalten.";

struct Outcome {
    bool finished = false;
    std::uint32_t windowsError = 0;
    std::int32_t attempts = -1;
    std::string message;
};

Outcome finalize(const fs::path& staging, const fs::path& target, Progress& progress,
                 std::uint32_t budgetMs) {
    Outcome outcome;
    try {
        finalizeStaging(staging, target, progress, budgetMs);
        outcome.finished = true;
    } catch (const FinalizeError& e) {
        outcome = {false, e.windowsError, e.attempts, e.what()};
    }
    return outcome;
}

// A folder prepared as an installation would leave it: one program file inside.
fs::path prepare(const fs::path& staging) {
    test::writeBytes(staging / L"appTESSARO.exe", "prepared");
    return staging;
}

bool stillPrepared(const fs::path& staging) {
    return fs::exists(staging / L"appTESSARO.exe") &&
           test::readBytes(staging / L"appTESSARO.exe") == "prepared";
}

// What a virus scanner does to the folder itself: a handle without delete sharing, which makes Windows
// (and Wine) refuse the rename with a sharing violation.
FileHandle holdFolder(const fs::path& folder) {
    return FileHandle(::CreateFileW(folder.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
}

bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

TEST(FinalizeStaging, MovesThePreparedFolderIntoPlaceWithOneRename) {
    test::ScratchFolder scratch;
    fs::path staging = prepare(scratch / L"releases\\id-staging-1");
    fs::path target = scratch / L"releases\\id";
    std::vector<std::string> lines;
    Progress progress;
    progress.report = [&](const std::string& text, std::uint64_t, std::uint64_t) {
        lines.push_back(text);
    };
    Outcome outcome = finalize(staging, target, progress, 15000);
    EXPECT_TRUE(outcome.finished) << outcome.message;
    EXPECT_TRUE(stillPrepared(target));
    EXPECT_FALSE(fs::exists(staging));
    EXPECT_EQ(lines, std::vector<std::string>{"Vorbereitete Version wird abgeschlossen …"});
}

TEST(FinalizeStaging, RefusesUnfitPathsBeforeAnyRenameAndKeepsTheStagingFolder) {
    test::ScratchFolder scratch;
    fs::path releases = scratch / L"releases";
    fs::path staging = prepare(releases / L"id-staging-1");
    fs::create_directories(releases / L"taken");
    test::writeBytes(releases / L"plain-file", "x");
    prepare(scratch / L"elsewhere\\id-staging-2");
    struct Case {
        const char* name;
        fs::path staging;
        fs::path target;
        bool cancelled;
        std::uint32_t code;
        std::string detail;
    } cases[] = {
        {"target exists", staging, releases / L"taken", false, 183,
         "Der Zielordner ist bereits vorhanden und wird nicht überschrieben."},
        {"staging in another folder", scratch / L"elsewhere\\id-staging-2", releases / L"id", false, 87,
         "Vorbereiteter Ordner und Ziel müssen verschieden sein und im selben Ordner liegen."},
        {"same folder in other letter case", staging, releases / L"ID-STAGING-1", false, 87,
         "Vorbereiteter Ordner und Ziel müssen verschieden sein und im selben Ordner liegen."},
        {"staging missing", releases / L"gone", releases / L"id", false, ERROR_FILE_NOT_FOUND,
         "Der vorbereitete Installationsordner ist nicht erreichbar."},
        {"staging is a file", releases / L"plain-file", releases / L"id", false, 267,
         "Installationspfad ist kein Ordner."},
        {"link on the way", test::linkToTarget() / L"id-staging-1", test::linkToTarget() / L"id", false, 5,
         "Verzeichnisverknüpfungen sind in Installationspfaden nicht erlaubt."},
        {"empty path", fs::path(), releases / L"id", false, 123, "Installationspfad ist ungültig."},
        {"cancelled before", staging, releases / L"id", true, 1223, keptSentence},
    };
    std::vector<std::wstring> linkTargetBefore = test::namesIn(test::linkTarget());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Progress progress;
        progress.cancelled = c.cancelled;
        Outcome outcome = finalize(c.staging, c.target, progress, 15000);
        EXPECT_FALSE(outcome.finished);
        EXPECT_EQ(outcome.windowsError, c.code);
        EXPECT_EQ(outcome.attempts, 0);
        EXPECT_TRUE(endsWith(outcome.message, c.detail)) << outcome.message;
        EXPECT_TRUE(stillPrepared(staging));
        EXPECT_FALSE(fs::exists(releases / L"id"));
    }
    EXPECT_TRUE(fs::is_empty(releases / L"taken"));
    EXPECT_EQ(test::namesIn(test::linkTarget()), linkTargetBefore);
}

TEST(FinalizeStaging, RenameThatStaysRefusedEndsWithItsCodeAndTheAttemptCount) {
    test::ScratchFolder scratch;
    fs::path staging = prepare(scratch / L"releases\\id-staging-1");
    FileHandle held = holdFolder(staging);
    ASSERT_TRUE(held.valid());
    int notices = 0;
    Progress progress;
    progress.report = [&](const std::string& text, std::uint64_t, std::uint64_t) {
        notices += text == "Windows lässt den Abschluss noch nicht zu. Erneuter Versuch …";
    };
    ULONGLONG started = ::GetTickCount64();
    Outcome outcome = finalize(staging, scratch / L"releases\\id", progress, 1500);
    ULONGLONG elapsed = ::GetTickCount64() - started;

    EXPECT_FALSE(outcome.finished);
    EXPECT_EQ(outcome.windowsError, static_cast<std::uint32_t>(ERROR_SHARING_VIOLATION));
    // About one attempt per 100 ms of budget.
    EXPECT_GE(outcome.attempts, 8);
    EXPECT_LE(outcome.attempts, 20);
    EXPECT_GE(elapsed, 1400u);
    EXPECT_GE(notices, 1);
    EXPECT_LE(notices, 3);
    EXPECT_TRUE(outcome.message.starts_with("Installation nicht abgeschlossen (Windows-Fehler 32)."));
    EXPECT_TRUE(stillPrepared(staging));
    EXPECT_FALSE(fs::exists(scratch / L"releases\\id"));
}

TEST(FinalizeStaging, RenameSucceedsOnceTheFolderIsReleasedWithinTheBudget) {
    test::ScratchFolder scratch;
    fs::path staging = prepare(scratch / L"releases\\id-staging-1");
    FileHandle held = holdFolder(staging);
    ASSERT_TRUE(held.valid());
    std::thread release([&held] {
        ::Sleep(700);
        held.reset();
    });
    Progress progress;
    Outcome outcome = finalize(staging, scratch / L"releases\\id", progress, 15000);
    release.join();
    EXPECT_TRUE(outcome.finished) << outcome.message;
    EXPECT_TRUE(stillPrepared(scratch / L"releases\\id"));
}

TEST(FinalizeStaging, CancelDuringTheRetriesEndsWith1223AndKeepsThePreparedFiles) {
    test::ScratchFolder scratch;
    fs::path staging = prepare(scratch / L"releases\\id-staging-1");
    FileHandle held = holdFolder(staging);
    ASSERT_TRUE(held.valid());
    Progress progress;
    progress.report = [&](const std::string& text, std::uint64_t, std::uint64_t) {
        if (text.starts_with("Windows lässt"))
            progress.cancelled = true;
    };
    Outcome outcome = finalize(staging, scratch / L"releases\\id", progress, 15000);
    EXPECT_FALSE(outcome.finished);
    EXPECT_EQ(outcome.windowsError, 1223u);
    EXPECT_GE(outcome.attempts, 1);
    EXPECT_LT(outcome.attempts, 15);
    EXPECT_TRUE(outcome.message.starts_with("Installation abgebrochen (Windows-Fehler 1223)."));
    EXPECT_TRUE(endsWith(outcome.message, keptSentence));
    EXPECT_TRUE(stillPrepared(staging));
    EXPECT_FALSE(fs::exists(scratch / L"releases\\id"));
}

} // namespace
} // namespace tess
