#include "install/range_extract.hpp"
#include "install/verify.hpp"
#include "package_fixtures.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>

namespace tess {
namespace {
namespace fs = std::filesystem;
using test::failureOf;

constexpr char damaged[] = "ZIP-Daten beschädigt oder Speicher voll.";
constexpr char tampered[] = "Entpackter Dateiinhalt ist manipuliert.";

// A local archive answered as the portal answers ranges; the n-th request can be answered with something
// else than its range, and one byte of what is served can be inverted.
class FileRanges final : public RangeSource {
  public:
    explicit FileRanges(const fs::path& archive) : bytes_(test::readBytes(archive)) {}

    bool open(std::uint64_t first, std::uint64_t last) override {
        opened.emplace_back(first, last);
        position_ = first;
        end_ = last + 1;
        return opened.size() != notRangeAt && last < bytes_.size();
    }
    std::uint32_t read(char* buffer, std::uint32_t capacity) override {
        const auto count = static_cast<std::uint32_t>(std::min<std::uint64_t>(capacity, end_ - position_));
        std::memcpy(buffer, bytes_.data() + position_, count);
        if (flip && *flip >= position_ && *flip < position_ + count)
            buffer[*flip - position_] ^= 0xFF;
        position_ += count;
        return count;
    }
    void expect(std::uint64_t) override {}
    unsigned requestsLeft() const override { return 255 - static_cast<unsigned>(opened.size()); }

    std::vector<std::pair<std::uint64_t, std::uint64_t>> opened;
    size_t notRangeAt = 0; // 1: the first request
    std::optional<std::uint64_t> flip;

  private:
    std::string bytes_;
    std::uint64_t position_ = 0;
    std::uint64_t end_ = 0;
};

struct HostileCase {
    std::string name;
    fs::path archive;
    Json manifest;
    std::optional<std::string> expected;
};

std::vector<HostileCase> hostileCases() {
    const fs::path folder = test::installFixtures() / L"hostile";
    std::vector<HostileCase> cases;
    for (const Json& item : parse(test::readBytes(folder / L"index.json"))) {
        std::optional<std::string> expected;
        if (!item.at("expectedMessage").is_null())
            expected = item.at("expectedMessage").get<std::string>();
        cases.push_back({item.at("name"), folder / toWide(item.at("archive").get<std::string>()),
                         test::signedManifest(folder / toWide(item.at("manifest").get<std::string>())),
                         expected});
    }
    return cases;
}

HostileCase hostileCase(const std::string& name) {
    for (HostileCase& c : hostileCases())
        if (c.name == name)
            return c;
    throw std::runtime_error("no hostile case " + name);
}

std::vector<const DirectoryEntry*> filesOf(const ArchiveDirectory& directory) {
    std::vector<const DirectoryEntry*> files;
    for (const DirectoryEntry& entry : directory.entries)
        if (!entry.directory)
            files.push_back(&entry);
    return files;
}

// Every file entry fetched in the fewest requests the plan allows; the mismatched manifest entries.
std::vector<const Json*> fetchAll(FileRanges& source, const ArchiveDirectory& directory,
                                  const fs::path& stage, bool& answeredAsRanges) {
    fs::create_directories(stage);
    StagedFiles staged(nullptr, directory.entries.size(), 0);
    answeredAsRanges = fetchEntries(source, planSpans(filesOf(directory), 255), stage, staged);
    return staged.settle();
}

// The road that fetches by range must refuse whatever the extraction refuses: a directory-level
// refusal turns into a fetch of the whole archive (which then refuses it), damaged data fails as it
// does in the extraction, and clean archives give their files.
TEST(RangeExtract, HostileArchivesFallBackOrFailAsTheExtractionDoes) {
    const std::vector<HostileCase> cases = hostileCases();
    ASSERT_GE(cases.size(), 30u);
    for (const HostileCase& c : cases) {
        SCOPED_TRACE(c.name);
        FileRanges source(c.archive);
        const std::optional<ArchiveDirectory> directory = fetchArchiveDirectory(source, c.manifest);
        // The extraction meets the tampered file before the surplus entry; the directory shows both.
        const bool dataDefect = (c.expected == std::string(damaged) || c.expected == std::string(tampered)) &&
                                c.name != "wrong-content-then-surplus";
        if (c.expected && !dataDefect) {
            EXPECT_FALSE(directory) << "directory accepted, the extraction says " << *c.expected;
            continue;
        }
        ASSERT_TRUE(directory);
        if (c.name == "entries-at-limit" || c.name == "zip64-many-files") {
            // Tens of thousands of entries: reading their directory is the part that can go wrong.
            EXPECT_EQ(filesOf(*directory).size(), c.manifest.at("files").size());
            continue;
        }
        test::ScratchFolder scratch;
        bool ranges = false;
        std::vector<const Json*> mismatched;
        const std::string message =
            failureOf([&] { mismatched = fetchAll(source, *directory, scratch / L"stage", ranges); });
        if (c.expected == std::string(damaged)) {
            EXPECT_EQ(message, damaged);
            continue;
        }
        EXPECT_EQ(message, "");
        EXPECT_TRUE(ranges);
        EXPECT_EQ(mismatched.size(), c.expected ? 1u : 0u);
        for (const Json* file : mismatched)
            EXPECT_FALSE(fs::exists(scratch / L"stage" / toWide(file->at("path").get<std::string>())));
        if (!c.expected) {
            EXPECT_EQ(failureOf([&] { verifyFiles(scratch / L"stage", c.manifest, true, false, nullptr); }),
                      "");
        }
    }
}

TEST(RangeExtract, LocalHeaderOrDataThatDisagreesWithTheDirectoryFailsAndLeavesNothing) {
    const HostileCase c = hostileCase("valid");
    struct Case {
        const char* what;
        std::uint64_t offset; // from the entry's local header
    } cases[] = {
        {"name", localHeaderFixedBytes + 2},
        {"method", 8},
        {"CRC", 14},
        {"compressed size", 18},
        {"size", 22},
        {"name length", 26},
        {"data", localHeaderFixedBytes + 15 + 2},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.what);
        FileRanges source(c.archive);
        const std::optional<ArchiveDirectory> directory = fetchArchiveDirectory(source, c.manifest);
        ASSERT_TRUE(directory);
        const DirectoryEntry* readme = nullptr;
        for (const DirectoryEntry& entry : directory->entries)
            if (entry.name == "docs/readme.txt")
                readme = &entry;
        ASSERT_TRUE(readme);
        source.flip = readme->headerOffset + test.offset;
        test::ScratchFolder scratch;
        bool ranges = false;
        EXPECT_EQ(failureOf([&] { fetchAll(source, *directory, scratch / L"stage", ranges); }), damaged);
        EXPECT_FALSE(fs::exists(scratch / L"stage" / L"docs" / L"readme.txt"));
    }
}

TEST(RangeExtract, AnAnswerThatIsNotTheRangeAskedForEndsTheRoadWithoutError) {
    const HostileCase c = hostileCase("large-random-entry");
    for (size_t request : {1u, 2u}) {
        SCOPED_TRACE(request);
        FileRanges source(c.archive);
        source.notRangeAt = request;
        const std::optional<ArchiveDirectory> directory = fetchArchiveDirectory(source, c.manifest);
        if (request == 1) {
            EXPECT_FALSE(directory);
            continue;
        }
        ASSERT_TRUE(directory);
        test::ScratchFolder scratch;
        bool ranges = true;
        EXPECT_EQ(failureOf([&] { fetchAll(source, *directory, scratch / L"stage", ranges); }), "");
        EXPECT_FALSE(ranges);
    }
}

TEST(RangeExtract, PlanJoinsCheapGapsWithinASixteenthAndKeepsToTheRequestBudget) {
    struct Case {
        const char* what;
        std::uint64_t extentKiB;
        std::vector<std::uint64_t> offsetsKiB;
        unsigned maxSpans;
        std::vector<std::pair<std::uint64_t, std::uint64_t>> expectedKiB; // [first, end) per span
    } cases[] = {
        {"touching entries share a request", 1024, {0, 1024, 2048}, 10, {{0, 3072}}},
        {"a gap of 256 KiB is joined", 4096, {0, 4352}, 10, {{0, 8448}}},
        {"one KiB more is not", 4096, {0, 4353}, 10, {{0, 4096}, {4353, 8449}}},
        {"gaps beyond a sixteenth of the wanted bytes stay apart",
         1024,
         {0, 1124, 2248, 3372},
         10,
         {{0, 3272}, {3372, 4396}}},
        {"the budget joins the smallest gaps first",
         1024,
         {0, 4096, 10240, 12288},
         2,
         {{0, 5120}, {10240, 13312}}},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.what);
        std::vector<DirectoryEntry> entries;
        for (std::uint64_t kib : test.offsetsKiB) {
            DirectoryEntry entry;
            entry.headerOffset = kib * 1024;
            entry.extentEnd = (kib + test.extentKiB) * 1024;
            entries.push_back(entry);
        }
        std::vector<const DirectoryEntry*> wanted;
        for (auto it = entries.rbegin(); it != entries.rend(); ++it)
            wanted.push_back(&*it);
        std::vector<std::pair<std::uint64_t, std::uint64_t>> planned;
        size_t entriesPlanned = 0;
        for (const FetchSpan& span : planSpans(wanted, test.maxSpans)) {
            planned.emplace_back(span.first / 1024, (span.last + 1) / 1024);
            entriesPlanned += span.entries.size();
        }
        EXPECT_EQ(planned, test.expectedKiB);
        EXPECT_EQ(entriesPlanned, entries.size());
    }
}

} // namespace
} // namespace tess
