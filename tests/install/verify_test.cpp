#include "foundation/tree.hpp"
#include "install/verify.hpp"
#include "package_fixtures.hpp"
#include "support/links.hpp"

#include <gtest/gtest.h>

#include <functional>

namespace tess {
namespace {
namespace fs = std::filesystem;
using test::failureOf;
using test::PackageFile;

const std::string notReleased = "Nicht freigegebene Datei im Programmordner. Bitte reparieren.";
const std::string damagedReadme = "Programmdatei beschädigt: docs/readme.txt";

TEST(VerifyFiles, ProgramFolderAgainstItsManifest) {
    struct Case {
        const char* name;
        std::function<void(std::vector<PackageFile>&)> package; // before the manifest is made
        std::function<void(Json&)> manifest;
        std::function<void(const fs::path&)> disk; // after the tree is written
        std::string expected;
    };
    auto none = [](auto&&) {
    };
    const Case cases[] = {
        {"exact tree", none, none, none, ""},
        {"extra file at the top", none, none,
         [](const fs::path& root) { test::writeBytes(root / L"extra.txt", "x"); }, notReleased},
        {"extra file in a subfolder", none, none,
         [](const fs::path& root) { test::writeBytes(root / L"bin\\plugins\\extra.dll", "x"); }, notReleased},
        {"extra empty subfolder", none, none,
         [](const fs::path& root) { fs::create_directories(root / L"bin\\empty"); }, ""},
        {"names differ in ASCII case only", none, none,
         [](const fs::path& root) {
             removeTree(root / L"docs");
             test::writeBytes(root / L"Docs\\README.TXT", "Liesmich\n");
         },
         ""},
        {"names differ in the case of a non-ASCII letter",
         [](std::vector<PackageFile>& files) {
             files.push_back({"\xC3\xA4rger.txt", "a umlaut"});
         },
         none,
         [](const fs::path& root) {
             fs::remove(root / L"\u00e4rger.txt");
             test::writeBytes(root / L"\u00c4rger.txt", "a umlaut");
         },
         notReleased},
        {"one changed byte", none, none,
         [](const fs::path& root) { test::writeBytes(root / L"docs\\readme.txt", "Liesmicx\n"); },
         damagedReadme},
        {"truncated file", none, none,
         [](const fs::path& root) { test::writeBytes(root / L"docs\\readme.txt", "Lies"); }, damagedReadme},
        {"listed file missing", none, none,
         [](const fs::path& root) { fs::remove(root / L"docs\\readme.txt"); }, damagedReadme},
        {"listed file is a folder", none, none,
         [](const fs::path& root) {
             fs::remove(root / L"docs\\readme.txt");
             fs::create_directories(root / L"docs\\readme.txt");
         },
         damagedReadme},
        {"delivery buildId is the number 5, the release says \"5\"",
         [](std::vector<PackageFile>& files) {
             files[1].content = R"({"buildId":5,"engine":"tessaro-desktop"})";
         },
         none, none, "Desktopstand stimmt nicht mit Freigabe überein."},
        {"delivery engine differs",
         [](std::vector<PackageFile>& files) { files[1].content = R"({"buildId":"5","engine":"other"})"; },
         none, none, "Desktopstand stimmt nicht mit Freigabe überein."},
        {"test package in production", none, [](Json& m) { m["testOnly"] = true; }, none,
         "Testpakete dürfen nicht produktiv installiert werden."},
        {"required policy with an unsigned appTESSARO.exe", none,
         [](Json& m) { m["authenticodePolicy"] = "required"; }, none,
         "Herausgebersignatur ungültig. Keine Installation."},
        {"policy absent counts as required", none, [](Json& m) { m.erase("authenticodePolicy"); }, none,
         "Herausgebersignatur ungültig. Keine Installation."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<PackageFile> files = test::basicPackage();
        c.package(files);
        Json manifest = test::manifestFor(files);
        c.manifest(manifest);
        test::ScratchFolder scratch;
        fs::path root = scratch / L"program";
        test::writeTree(root, files);
        c.disk(root);
        EXPECT_EQ(failureOf([&] { verifyFiles(root, manifest, true, false, nullptr); }), c.expected);
    }
}

TEST(VerifyFiles, OutsideProductionTestPackagesAndUnsignedProgramsPass) {
    std::vector<PackageFile> files = test::basicPackage();
    Json manifest = test::manifestFor(files, "required");
    manifest["testOnly"] = true;
    test::ScratchFolder scratch;
    test::writeTree(scratch.path(), files);
    EXPECT_EQ(failureOf([&] { verifyFiles(scratch.path(), manifest, false, false, nullptr); }), "");
}

TEST(VerifyFiles, LinkInsideTheFolderIsRefusedAndItsTargetStaysUntouched) {
    fs::path program = test::linksRoot() / L"program-with-link";
    std::vector<PackageFile> files = {
        {"appTESSARO.exe", test::readBytes(program / L"appTESSARO.exe")},
        {"delivery-manifest.json", test::readBytes(program / L"delivery-manifest.json")}};
    std::vector<std::wstring> before = test::namesIn(test::linkTarget());
    EXPECT_EQ(failureOf([&] { verifyFiles(program, test::manifestFor(files), true, true, nullptr); }),
              "Verzeichnisverknüpfungen sind hier nicht erlaubt.");
    EXPECT_EQ(test::namesIn(test::linkTarget()), before);
}

TEST(VerifyFiles, ReportsBelowTheTotalUntilTheFinalLineAndStopsOnCancel) {
    std::vector<PackageFile> files = test::basicPackage();
    Json manifest = test::manifestFor(files);
    const std::uint64_t total = manifest.at("artifact").at("unpackedSize");
    test::ScratchFolder scratch;
    test::writeTree(scratch.path(), files);

    std::vector<std::pair<std::string, std::uint64_t>> lines;
    Progress progress;
    progress.report = [&](const std::string& text, std::uint64_t done, std::uint64_t) {
        lines.emplace_back(text, done);
    };
    verifyFiles(scratch.path(), manifest, true, false, &progress);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines.front().first, "Programmdateien werden geprüft (0 / 4 Dateien): appTESSARO.exe");
    EXPECT_EQ(lines[lines.size() - 2].first, "Programmordner wird geprüft (4 / 4 Dateien)");
    EXPECT_EQ(lines.back(),
              std::make_pair(std::string("Programmdateien vollständig geprüft (4 / 4 Dateien)"), total));
    for (size_t i = 0; i + 1 < lines.size(); ++i)
        EXPECT_LE(lines[i].second, total - 1) << lines[i].first;

    progress.cancelled = true;
    EXPECT_EQ(failureOf([&] { verifyFiles(scratch.path(), manifest, true, false, &progress); }),
              "Abgebrochen. Vorhandene Installation bleibt erhalten.");
}

// Lists a zero-filled file of `size` bytes as the manifest's entry `index`, with a hash it does not
// have: its hash runs long (without writing its bytes) and fails only when it is finished.
void listLargeFile(const fs::path& root, Json& manifest, size_t index, std::uint64_t size) {
    test::writeBytes(root / L"large.bin", "");
    fs::resize_file(root / L"large.bin", size);
    Json& files = manifest["files"];
    files.insert(files.begin() + static_cast<std::ptrdiff_t>(index),
                 Json{{"path", "large.bin"}, {"size", size}, {"sha256", std::string(64, '0')}});
    manifest["artifact"]["fileCount"] = files.size();
    manifest["artifact"]["unpackedSize"] = manifest["artifact"]["unpackedSize"].get<std::uint64_t>() + size;
}

std::vector<PackageFile> manySmallFiles() {
    std::vector<PackageFile> files = test::basicPackage();
    for (int i = 0; i < 40; ++i)
        files.push_back({"many/f" + std::to_string(i) + ".txt", "content " + std::to_string(i)});
    return files;
}

// Files are hashed on several threads; whichever failure is found first, the one reported is the
// first in manifest order.
TEST(VerifyFiles, ParallelHashingReportsTheFirstFailureInManifestOrder) {
    struct Case {
        const char* name;
        std::function<void(const fs::path&)> damage;
        std::string expected;
    };
    const Case cases[] = {
        {"large file wrong, a later file missing",
         [](const fs::path& root) { fs::remove(root / L"many" / L"f2.txt"); },
         "Programmdatei beschädigt: large.bin"},
        {"large file wrong, a later file changed",
         [](const fs::path& root) { test::writeBytes(root / L"many" / L"f30.txt", "content 3X"); },
         "Programmdatei beschädigt: large.bin"},
        {"an earlier file changed, then the large file",
         [](const fs::path& root) { test::writeBytes(root / L"docs" / L"readme.txt", "Liesmicx\n"); },
         damagedReadme},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<PackageFile> files = manySmallFiles();
        Json manifest = test::manifestFor(files);
        test::ScratchFolder scratch;
        test::writeTree(scratch.path(), files);
        listLargeFile(scratch.path(), manifest, 4, 64u << 20);
        c.damage(scratch.path());
        EXPECT_EQ(failureOf([&] { verifyFiles(scratch.path(), manifest, true, false, nullptr); }),
                  c.expected);
    }
}

TEST(VerifyFiles, CancelWhileFilesAreHashedEndsThePassAndNoLineFollows) {
    std::vector<PackageFile> files = manySmallFiles();
    Json manifest = test::manifestFor(files);
    test::ScratchFolder scratch;
    test::writeTree(scratch.path(), files);
    listLargeFile(scratch.path(), manifest, 0, 1u << 30);

    std::vector<std::string> lines;
    std::string cancelledAt;
    Progress progress;
    progress.report = [&](const std::string& text, std::uint64_t done, std::uint64_t) {
        lines.push_back(text);
        if (done > 0 && cancelledAt.empty()) {
            cancelledAt = text;
            progress.cancelled = true;
        }
    };
    EXPECT_EQ(failureOf([&] { verifyFiles(scratch.path(), manifest, true, false, &progress); }),
              "Abgebrochen. Vorhandene Installation bleibt erhalten.");
    EXPECT_TRUE(cancelledAt.starts_with("Programmdateien werden geprüft (0 / 45 Dateien)")) << cancelledAt;
    EXPECT_EQ(lines.back(), cancelledAt);
}

TEST(PackageProgress, LinesShowTheShortenedFileNameAndHoldTheBarBelowItsEnd) {
    Json manifest = test::manifestFor(test::basicPackage());
    const std::uint64_t total = manifest.at("artifact").at("unpackedSize");
    std::string line;
    std::uint64_t amount = 0;
    Progress sink;
    sink.report = [&](const std::string& text, std::uint64_t done, std::uint64_t) {
        line = text;
        amount = done;
    };
    PackageProgress progress(&sink, nullptr, compactManifest(manifest));
    const std::string ellipsis = "\xE2\x80\xA6";
    const std::string surrogatePair = "\xF0\x9F\x93\x84"; // U+1F4C4, two UTF-16 units
    struct Case {
        std::string path;
        std::uint64_t done;
        bool final;
        std::string shown;
        std::uint64_t amount;
    } cases[] = {
        {"", 0, false, "t (0 / 4 Dateien)", 0},
        {"a/b/" + std::string(48, 'n'), 5, false, "t (0 / 4 Dateien): " + std::string(48, 'n'), 5},
        {std::string(49, 'n'), total, false, "t (0 / 4 Dateien): " + std::string(47, 'n') + ellipsis,
         total - 1},
        {std::string(46, 'n') + surrogatePair + "x", total, true,
         "t (0 / 4 Dateien): " + std::string(46, 'n') + ellipsis, total},
    };
    for (const Case& c : cases) {
        progress.reportLine("t", c.done, 0, c.path, true, c.final);
        EXPECT_EQ(line, c.shown);
        EXPECT_EQ(amount, c.amount) << c.shown;
    }
    ::Sleep(120);
    progress.reportLine("t", 1, 0, "", false, false);
    progress.reportLine("u", 1, 0, "", false, false);
    EXPECT_EQ(line, "t (0 / 4 Dateien)") << "an unforced line within 100 ms of the last was passed on";
}

} // namespace
} // namespace tess
