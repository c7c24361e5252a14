#include "foundation/paths.hpp"
#include "install/journal.hpp"
#include "package_fixtures.hpp"
#include "support/links.hpp"

#include <gtest/gtest.h>

namespace tess {
namespace {
namespace fs = std::filesystem;

const std::string releaseId = "2f1c6a58-4d3e-4b7a-9c61-0e5d8a7b3f21";
const std::string hex32 = "0123456789abcdef0123456789abcdef";

std::string journalText(const std::string& phase, const std::string& stage,
                        const std::string& manifestSha256) {
    Json record = {{"phase", phase}, {"releaseId", releaseId}, {"stage", stage}};
    if (!manifestSha256.empty())
        record["manifestSha256"] = manifestSha256;
    return dumpCompact(record);
}

TEST(FindReusableStaging, OnlyAVerifiedStagingFolderOfThisReleaseAndManifestIsReused) {
    test::ScratchFolder scratch;
    Client client;
    client.installRoot = scratch / L"install";
    client.dataRoot = scratch / L"data";
    const fs::path releases = client.installRoot / L"releases";
    const std::string hash = sha256Hex("signed manifest");
    auto folder = [&](const std::string& name) {
        fs::create_directories(releases / toWide(name));
        return toUtf8((releases / toWide(name)).native());
    };
    const std::string stage = folder(releaseId + "-staging-" + hex32);
    test::writeBytes(releases / toWide(releaseId + "-staging-" + std::string(32, 'f')), "a file, no folder");
    fs::create_directories(scratch / L"elsewhere" / toWide(releaseId + "-staging-" + hex32));
    const std::string releasesText = toUtf8(releases.native());

    struct Case {
        const char* name;
        std::string journal; // empty: no journal file
        std::string reused;  // empty: no reuse
    } cases[] = {
        {"verified, same release and manifest", journalText("verified", stage, hash), stage},
        {"without manifestSha256 (written before it was recorded)", journalText("verified", stage, ""),
         stage},
        {"stage written with slashes and a detour",
         journalText("verified", releasesText + "/x/../" + releaseId + "-staging-" + hex32, hash),
         releasesText + "/x/../" + releaseId + "-staging-" + hex32},
        {"phase extracting", journalText("extracting", stage, hash), ""},
        {"phase installed", journalText("installed", stage, hash), ""},
        {"manifest re-signed", journalText("verified", stage, sha256Hex("other")), ""},
        {"another release",
         dumpCompact(Json{
             {"phase", "verified"}, {"releaseId", "00000000-0000-0000-0000-000000000000"}, {"stage", stage}}),
         ""},
        {"31 hexadecimal characters",
         journalText("verified", folder(releaseId + "-staging-" + hex32.substr(1)), hash), ""},
        {"33 hexadecimal characters",
         journalText("verified", folder(releaseId + "-staging-" + hex32 + "0"), hash), ""},
        {"upper-case hexadecimal",
         journalText("verified", folder(releaseId + "-staging-0123456789ABCDEF0123456789abcdef"), hash), ""},
        {"outside the releases folder",
         journalText("verified",
                     toUtf8((scratch / L"elsewhere" / toWide(releaseId + "-staging-" + hex32)).native()),
                     hash),
         ""},
        {"relative stage",
         journalText("verified", "install\\releases\\" + releaseId + "-staging-" + hex32, hash), ""},
        {"stage is gone",
         journalText("verified", releasesText + "\\" + releaseId + "-staging-" + std::string(32, 'e'), hash),
         ""},
        {"stage is a file",
         journalText("verified", releasesText + "\\" + releaseId + "-staging-" + std::string(32, 'f'), hash),
         ""},
        {"stage is not a text", R"({"phase":"verified","releaseId":")" + releaseId + R"(","stage":5})", ""},
        {"journal is broken JSON", "{\"phase\":\"verified\",", ""},
        {"journal is an array", "[]", ""},
        {"no journal", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(client.dataRoot / L"journal.json");
        if (!c.journal.empty())
            test::writeBytes(client.dataRoot / L"journal.json", c.journal);
        EXPECT_EQ(toUtf8(findReusableStaging(client, client.dataRoot, releaseId, hash).native()), c.reused);
    }
}

// From 240 characters on the releases folder gets the long-path prefix; the stage written without it
// is still the same folder.
TEST(FindReusableStaging, ReusesAStageBelowAnInstallRootOfLongPathLength) {
    test::ScratchFolder scratch;
    Client client;
    client.installRoot = scratch / std::wstring(230, L'l');
    client.dataRoot = scratch / L"data";
    fs::path stage = client.installRoot / L"releases" / toWide(releaseId + "-staging-" + hex32);
    ASSERT_GE(stage.native().size(), 240u);
    createDirectories(stage);
    test::writeBytes(client.dataRoot / L"journal.json", journalText("verified", toUtf8(stage.native()), ""));
    EXPECT_EQ(findReusableStaging(client, client.dataRoot, releaseId, sha256Hex("x")), stage);
}

TEST(FindReusableStaging, StagingFolderThatIsALinkIsNotReusedAndItsTargetStays) {
    test::ScratchFolder scratch;
    Client client;
    client.installRoot = test::linksRoot() / L"install";
    client.dataRoot = scratch / L"data";
    fs::path stage = client.installRoot / L"releases" / toWide(releaseId + "-staging-" + hex32);
    ASSERT_TRUE(::GetFileAttributesW(stage.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT);
    std::vector<std::wstring> before = test::namesIn(test::linkTarget());
    test::writeBytes(client.dataRoot / L"journal.json", journalText("verified", toUtf8(stage.native()), ""));
    EXPECT_TRUE(findReusableStaging(client, client.dataRoot, releaseId, sha256Hex("x")).empty());
    EXPECT_EQ(test::namesIn(test::linkTarget()), before);
}

TEST(Journal, WritesCompactRecordsAndDrawsFreshStagingNames) {
    test::ScratchFolder scratch;
    Json record = {
        {"phase", "downloading"}, {"releaseId", releaseId}, {"stage", "C:\\x"}, {"manifestSha256", "ab"}};
    writeJournal(scratch.path(), record);
    EXPECT_EQ(test::readBytes(scratch / L"journal.json"), dumpCompact(record));

    fs::path first = newStagingFolder(L"C:\\root", releaseId);
    fs::path second = newStagingFolder(L"C:\\root", releaseId);
    EXPECT_NE(first, second);
    EXPECT_EQ(first.parent_path(), fs::path(L"C:\\root\\releases"));
    std::string name = toUtf8(first.filename().native());
    EXPECT_EQ(name.size(), releaseId.size() + 9 + 32);
    EXPECT_TRUE(name.starts_with(releaseId + "-staging-"));
}

} // namespace
} // namespace tess
