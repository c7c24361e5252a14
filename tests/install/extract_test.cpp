#include "install/extract.hpp"
#include "install/verify.hpp"
#include "package_fixtures.hpp"
#include "support/links.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <set>

namespace tess {
namespace {
namespace fs = std::filesystem;
using test::failureOf;

struct HostileCase {
    std::string name;
    fs::path archive;
    Json manifest;
    std::optional<std::string> expected;
};

fs::path hostileFolder() {
    return test::installFixtures() / L"hostile";
}

HostileCase loadCase(const Json& item) {
    std::optional<std::string> expected;
    if (!item.at("expectedMessage").is_null())
        expected = item.at("expectedMessage").get<std::string>();
    return {item.at("name"), hostileFolder() / toWide(item.at("archive").get<std::string>()),
            test::signedManifest(hostileFolder() / toWide(item.at("manifest").get<std::string>())), expected};
}

Json hostileIndex() {
    return parse(test::readBytes(hostileFolder() / L"index.json"));
}

HostileCase hostileCase(const std::string& name) {
    for (const Json& item : hostileIndex())
        if (item.at("name") == name)
            return loadCase(item);
    throw std::runtime_error("no hostile case " + name);
}

// Every file the extraction left behind is one the manifest lists: nothing else was ever written.
void expectOnlyListedFiles(const fs::path& stage, const Json& manifest) {
    std::set<std::wstring> listed;
    for (const Json& file : manifest.at("files"))
        listed.insert(foldAsciiCase(toWide(file.at("path").get<std::string>())));
    if (!fs::exists(stage))
        return;
    for (const auto& entry : fs::recursive_directory_iterator(stage)) {
        if (entry.is_directory())
            continue;
        std::wstring relative = fs::relative(entry.path(), stage).generic_wstring();
        EXPECT_TRUE(listed.count(foldAsciiCase(relative))) << toUtf8(relative);
    }
}

void expectNothingOutside(const test::ScratchFolder& scratch) {
    EXPECT_EQ(test::namesIn(scratch.path()), std::vector<std::wstring>{L"stage"});
    EXPECT_FALSE(fs::exists(L"C:\\evil.txt"));
    EXPECT_FALSE(fs::exists(scratch.path().root_path() / L"evil.txt"));
}

// Archives of tens of thousands of entries; under Wine every new name in a crowded folder costs a scan of
// that folder, so they run apart.
bool isLarge(const std::string& name) {
    return name == "entries-at-limit" || name == "zip64-many-files";
}

// The extraction hashes every file against the manifest and fails on any listed file it did not meet,
// so its success proves the whole tree; a second verification would only double the time.
void expectExtracts(const std::string& name) {
    HostileCase c = hostileCase(name);
    test::ScratchFolder scratch;
    std::atomic<bool> cancel{false};
    EXPECT_EQ(failureOf([&] { extractArchive(c.archive, scratch / L"stage", c.manifest, cancel, nullptr); }),
              "");
}

TEST(ExtractArchive, HostileArchivesAreRefusedWithTheirMessageAndCleanOnesVerify) {
    Json index = hostileIndex();
    ASSERT_GE(index.size(), 30u);
    for (const Json& item : index) {
        if (isLarge(item.at("name")))
            continue;
        HostileCase c = loadCase(item);
        SCOPED_TRACE(c.name);
        test::ScratchFolder scratch;
        fs::path stage = scratch / L"stage";
        std::atomic<bool> cancel{false};
        std::string message =
            failureOf([&] { extractArchive(c.archive, stage, c.manifest, cancel, nullptr); });
        if (c.expected) {
            EXPECT_EQ(message, *c.expected);
            expectOnlyListedFiles(stage, c.manifest);
        } else {
            EXPECT_EQ(message, "");
            EXPECT_EQ(failureOf([&] { verifyFiles(stage, c.manifest, true, false, nullptr); }), "");
        }
        expectNothingOutside(scratch);
    }
}

TEST(ExtractArchive, LinkEntryIsRefusedBeforeAnythingIsWrittenForIt) {
    HostileCase c = hostileCase("symbolic-link");
    test::ScratchFolder scratch;
    std::atomic<bool> cancel{false};
    EXPECT_EQ(failureOf([&] { extractArchive(c.archive, scratch / L"stage", c.manifest, cancel, nullptr); }),
              "ZIP-Verknüpfungen sind nicht erlaubt.");
    EXPECT_TRUE(test::namesIn(scratch / L"stage").empty());
}

TEST(ExtractArchive, LastListedFileMissingFailsAfterTheOthersWereWritten) {
    HostileCase c = hostileCase("missing-file");
    ASSERT_EQ(c.manifest.at("files").back().at("path"), "lib/missing.dll");
    test::ScratchFolder scratch;
    fs::path stage = scratch / L"stage";
    std::atomic<bool> cancel{false};
    EXPECT_EQ(failureOf([&] { extractArchive(c.archive, stage, c.manifest, cancel, nullptr); }),
              "Dateien fehlen im Archiv.");
    const Json& files = c.manifest.at("files");
    for (size_t i = 0; i + 1 < files.size(); ++i) {
        fs::path written = stage / toWide(files[i].at("path").get<std::string>());
        EXPECT_EQ(sha256FileHex(written, nullptr, {}), files[i].at("sha256")) << files[i].at("path");
    }
    EXPECT_FALSE(fs::exists(stage / L"lib"));
}

TEST(ExtractArchive, RefusesBeforeReadingWhenTargetOrArchiveIsUnfit) {
    test::ScratchFolder scratch;
    HostileCase valid = hostileCase("valid");
    test::writeBytes(scratch / L"not-a-zip.zip", "PK but not really an archive");
    fs::create_directories(scratch / L"existing");
    struct Case {
        const wchar_t* archive;
        const wchar_t* target;
        const char* expected;
    } cases[] = {
        // The archive does not exist: the target check must come first.
        {L"missing.zip", L"existing", "Zielordner existiert bereits."},
        {L"missing.zip", L"stage-a", "Archiv nicht lesbar."},
        {L"not-a-zip.zip", L"stage-b", "ZIP-Archiv beschädigt."},
    };
    for (const Case& c : cases) {
        std::atomic<bool> cancel{false};
        EXPECT_EQ(failureOf([&] {
                      extractArchive(scratch / c.archive, scratch / c.target, valid.manifest, cancel,
                                     nullptr);
                  }),
                  c.expected);
    }
    EXPECT_TRUE(test::namesIn(scratch / L"existing").empty());
}

TEST(ExtractArchive, TargetBelowALinkIsRefusedAndTheLinkTargetStaysUntouched) {
    HostileCase valid = hostileCase("valid");
    std::vector<std::wstring> before = test::namesIn(test::linkTarget());
    std::atomic<bool> cancel{false};
    EXPECT_EQ(failureOf([&] {
                  extractArchive(valid.archive, test::linkToTarget() / L"stage", valid.manifest, cancel,
                                 nullptr);
              }),
              "Verzeichnisverknüpfungen sind hier nicht erlaubt.");
    EXPECT_EQ(test::namesIn(test::linkTarget()), before);
    EXPECT_EQ(test::readBytes(test::linkTarget() / L"keep.txt"), "keep me\n");
}

TEST(ExtractArchive, ReportsLinesBelowTheTotalUntilTheFinalLine) {
    HostileCase valid = hostileCase("valid");
    const std::uint64_t total = valid.manifest.at("artifact").at("unpackedSize");
    struct Line {
        std::string text;
        std::uint64_t done;
        std::uint64_t total;
    };
    std::vector<Line> lines;
    Progress progress;
    progress.report = [&](const std::string& text, std::uint64_t done, std::uint64_t all) {
        lines.push_back({text, done, all});
    };
    test::ScratchFolder scratch;
    std::atomic<bool> cancel{false};
    extractArchive(valid.archive, scratch / L"stage", valid.manifest, cancel, &progress);

    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines.front().text, "Paket wird entpackt und geprüft (0 / 4 Dateien): appTESSARO.exe");
    EXPECT_EQ(lines.back().text, "Paket vollständig entpackt und geprüft (4 / 4 Dateien)");
    EXPECT_EQ(lines.back().done, total);
    for (size_t i = 0; i + 1 < lines.size(); ++i) {
        EXPECT_LT(lines[i].done, total) << lines[i].text;
        EXPECT_EQ(lines[i].total, total);
    }
}

TEST(ExtractArchive, CancelEndsWithTheKeepMessage) {
    HostileCase valid = hostileCase("valid");
    struct Case {
        const char* name;
        bool flagBefore;
        bool sinkCancelsOnFirstLine;
    } cases[] = {{"own flag set before", true, false}, {"window cancels on the first line", false, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::ScratchFolder scratch;
        std::atomic<bool> cancel{c.flagBefore};
        Progress progress;
        progress.report = [&](const std::string&, std::uint64_t, std::uint64_t) {
            if (c.sinkCancelsOnFirstLine)
                progress.cancelled = true;
        };
        EXPECT_EQ(failureOf([&] {
                      extractArchive(valid.archive, scratch / L"stage", valid.manifest, cancel, &progress);
                  }),
                  "Abgebrochen. Vorhandene Installation bleibt erhalten.");
        EXPECT_FALSE(fs::exists(scratch / L"stage"));
    }
}

// Many small files keep the hash queue full. A cancel that arrives while a finished file's hash is taken
// (its line names the file just counted) ends with the keep message, and no later result is paired with
// that file. The window takes longer for each line than the lines are apart, so every line reaches it
// and the hash threads finish what is queued meanwhile.
TEST(ExtractArchive, ACancelWhileAFullHashQueueIsTakenEndsWithTheKeepMessage) {
    HostileCase c = hostileCase("many-small-files");
    const Json& files = c.manifest.at("files");
    const auto namesTheCountedFile = [&files](const std::string& line) {
        unsigned counted = 0;
        const size_t colon = line.rfind(": ");
        if (std::sscanf(line.c_str(), "Paket wird entpackt und geprüft (%u /", &counted) != 1 ||
            counted == 0 || colon == std::string::npos)
            return false;
        const std::string path = files.at(counted - 1).at("path");
        return path.substr(path.rfind('/') + 1) == line.substr(colon + 2);
    };
    for (const int cancelAt : {1, 2}) {
        SCOPED_TRACE(cancelAt);
        test::ScratchFolder scratch;
        std::atomic<bool> cancel{false};
        Progress progress;
        int counted = 0;
        progress.report = [&](const std::string& line, std::uint64_t, std::uint64_t) {
            ::Sleep(110);
            if (namesTheCountedFile(line) && ++counted == cancelAt)
                progress.cancelled = true;
        };
        EXPECT_EQ(
            failureOf([&] { extractArchive(c.archive, scratch / L"stage", c.manifest, cancel, &progress); }),
            "Abgebrochen. Vorhandene Installation bleibt erhalten.");
    }
}

// Manifest files + 10,000 entries are still accepted (one more is refused in the table above).
TEST(SlowExtractArchive, ArchiveAtTheEntryLimitExtracts) {
    expectExtracts("entries-at-limit");
}

// 70,000 entries: the listed files beyond entry 65,535 are only found through the ZIP64 directory.
TEST(SlowExtractArchive, Zip64ArchiveWithSeventyThousandEntriesExtracts) {
    expectExtracts("zip64-many-files");
}

} // namespace
} // namespace tess
