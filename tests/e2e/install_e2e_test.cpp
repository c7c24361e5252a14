// Client::install end to end under Wine: the development portal serves releases of the test application
// (tests/e2e/make_e2e_portal_data.py), every install really downloads, unpacks, verifies, runs the
// application's preflight and renames; the roots of each test's client are scratch folders.
#include "activation/launch.hpp"
#include "activation/process.hpp"
#include "client/client.hpp"
#include "foundation/crypto.hpp"
#include "foundation/error.hpp"
#include "foundation/handles.hpp"
#include "foundation/json.hpp"
#include "foundation/paths.hpp"
#include "foundation/text.hpp"
#include "foundation/tree.hpp"
#include "install/install.hpp"
#include "install/receipts.hpp"
#include "portal/devportal.hpp"
#include "support/test_support.hpp"
#include "support/version_fixture.hpp"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace tess::test {
namespace {
namespace fs = std::filesystem;

const Json& releaseIndex() {
    static const Json index = parse(readBytes(binaryDir() / L"e2e" / L"portal-cache" / L"index.json"));
    return index;
}
std::string idOf(const std::string& name) {
    return releaseIndex().at(name).at("releaseId").get<std::string>();
}
fs::path treeOf(const std::string& name) {
    return hostPath(releaseIndex().at(name).at("tree").get<std::string>());
}

// Relative path -> SHA-256 of every file below root: equal maps mean equal trees.
std::map<std::wstring, std::string> snapshot(const fs::path& root) {
    std::map<std::wstring, std::string> files;
    walkTree(root, [&files](const TreeEntry& entry) {
        if (!entry.directory)
            files[entry.relative.native()] = sha256FileHex(entry.path, nullptr, {});
    });
    return files;
}

std::vector<std::string> namesIn(const fs::path& folder) {
    std::vector<std::string> names;
    if (fs::exists(folder))
        for (const auto& entry : fs::directory_iterator(folder))
            names.push_back(toUtf8(entry.path().filename().native()));
    std::sort(names.begin(), names.end());
    return names;
}

bool hasDamagedName(const std::string& name, const std::string& releaseId) {
    const std::string prefix = releaseId + "-damaged-";
    return name.size() == prefix.size() + 32 && name.starts_with(prefix) &&
           name.find_first_not_of("0123456789abcdef", prefix.size()) == std::string::npos;
}

std::vector<Json> artifactRequests() {
    std::vector<Json> found;
    for (const Json& entry : devportal::requestLog())
        if (entry.value("path", std::string()).starts_with(devportal::artifactsPath))
            found.push_back(entry);
    return found;
}

template <class Call> std::string failureOf(Call&& call) {
    try {
        call();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "(no error)";
}

bool awaitApplication(bool running) {
    const ULONGLONG deadline = ::GetTickCount64() + 30000;
    while (isApplicationRunning(0) != running) {
        if (::GetTickCount64() > deadline)
            return false;
        ::Sleep(100);
    }
    return true;
}

// A copy of the test application that stays up until the test ends it.
class RunningApplication {
  public:
    explicit RunningApplication(const fs::path& folder) {
        prepareTestApp(folder, {{"afterStartMs", 120000}, {"lifetimeMs", 180000}});
        started_ = startProcess(folder / L"appTESSARO.exe", {}, true);
    }
    ~RunningApplication() { stop(); }
    void stop() {
        if (started_.process && ::WaitForSingleObject(started_.process.get(), 0) == WAIT_TIMEOUT)
            ::TerminateProcess(started_.process.get(), 99);
        if (started_.process)
            ::WaitForSingleObject(started_.process.get(), 10000);
        started_.process.reset();
    }

  private:
    StartedProcess started_;
};

class InstallEndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(awaitApplication(false)) << "a test application of an earlier test still runs";
        devportal::reset();
        devportal::addFault({{"fault", "catalog"},
                             {"variant", "e2e"},
                             {"path", std::string(devportal::catalogPath) + "stable"}});
        useRoots(scratch / L"install", scratch / L"data");
        client.acceptTokenResponse(devportal::issueTokens());
        client.loadCatalog("stable");
        client.progress.report = [this](const std::string& text, std::uint64_t, std::uint64_t) {
            lines.push_back(text);
            if (onLine)
                onLine(text);
        };
        devportal::admin("log/clear", "{}");
        lines.clear();
    }

    void useRoots(const fs::path& installRoot, const fs::path& dataRoot) {
        client.installRoot = installRoot;
        client.dataRoot = dataRoot;
        for (const fs::path& folder :
             {installRoot, dataRoot, dataRoot / L"downloads", dataRoot / L"receipts"})
            ensurePrivateDirectory(folder);
    }

    // An installed version shares files with these releases, so the road that fetches only what changed
    // would be taken; a portal that answers every range with the whole file keeps them on the road of
    // the whole archive.
    void keepWholeArchiveRoad() {
        devportal::addFault(
            {{"fault", "ignore-range"}, {"path", std::string(devportal::artifactsPath) + "*"}});
    }

    fs::path releases() const { return client.installRoot / L"releases"; }
    fs::path versionFolder(const std::string& name) const { return releases() / toWide(idOf(name)); }
    fs::path receipt(const std::string& name) const { return receiptPath(client.dataRoot, idOf(name)); }
    fs::path journalFile() const { return client.dataRoot / L"journal.json"; }
    Json journal() const { return loadJsonOr(journalFile(), Json::object()); }
    std::string manifestAnswer(const std::string& name) {
        return fetchPortal("/account-api/v1/software/releases/" + idOf(name) + "/manifest",
                           client.accessToken(false), {})
            .body;
    }
    // Index of the first line starting with text, or -1.
    int firstLine(const std::string& text) const {
        for (size_t index = 0; index < lines.size(); ++index)
            if (lines[index].starts_with(text))
                return static_cast<int>(index);
        return -1;
    }

    ScratchFolder scratch;
    Client client;
    std::vector<std::string> lines;
    std::function<void(const std::string&)> onLine;
};

TEST_F(InstallEndToEnd, InstallsReleaseFromCatalogWithReceiptJournalAndProgress) {
    const Json manifest = client.install(idOf("good"));

    EXPECT_EQ(manifest.at("releaseId"), idOf("good"));
    EXPECT_EQ(namesIn(releases()), std::vector<std::string>{idOf("good")});
    EXPECT_EQ(snapshot(versionFolder("good")), snapshot(treeOf("good")));
    const std::string answer = manifestAnswer("good");
    EXPECT_EQ(readBytes(receipt("good")), answer);
    const Json record = journal();
    EXPECT_EQ(record.at("phase"), "installed");
    EXPECT_EQ(record.at("releaseId"), idOf("good"));
    EXPECT_EQ(record.at("manifestSha256"), sha256Hex(answer));
    EXPECT_FALSE(fs::exists(toWide(record.at("stage").get<std::string>())));
    EXPECT_FALSE(fs::exists(installationErrorPath(client.dataRoot)));

    const std::vector<Json> downloads = artifactRequests();
    ASSERT_EQ(downloads.size(), 1u);
    EXPECT_EQ(downloads[0].at("status"), 200);
    EXPECT_TRUE(downloads[0].at("range").is_null());

    const std::vector<std::string> order = {"Software wird heruntergeladen …",
                                            "Paket wird entpackt und geprüft (",
                                            "Programmdateien werden geprüft (",
                                            "Programmdateien vollständig geprüft (",
                                            "Kompatibilität der vorbereiteten Version wird geprüft …",
                                            "Vorbereitete Version wird abgeschlossen …",
                                            "Version ist vollständig installiert."};
    int previous = -1;
    for (const std::string& text : order) {
        const int index = firstLine(text);
        EXPECT_GT(index, previous) << text;
        previous = index;
    }
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "Version ist vollständig installiert.");
}

TEST_F(InstallEndToEnd, IntactInstalledReleaseDownloadsNothingAndRewritesItsReceipt) {
    const Json first = client.install(idOf("good"));
    const std::string journalBefore = readBytes(journalFile());
    const auto treeBefore = snapshot(versionFolder("good"));
    fs::remove(receipt("good"));
    fs::remove(client.dataRoot / L"downloads" /
               toWide(first.at("artifact").at("sha256").get<std::string>() + ".zip.partial"));
    devportal::admin("log/clear", "{}");
    lines.clear();

    EXPECT_EQ(client.install(idOf("good")), first);

    EXPECT_TRUE(artifactRequests().empty());
    EXPECT_EQ(readBytes(receipt("good")), manifestAnswer("good"));
    EXPECT_EQ(readBytes(journalFile()), journalBefore);
    EXPECT_EQ(snapshot(versionFolder("good")), treeBefore);
    EXPECT_EQ(namesIn(releases()), std::vector<std::string>{idOf("good")});
    EXPECT_EQ(firstLine("Software wird heruntergeladen"), -1);
    EXPECT_EQ(firstLine("Version ist vollständig installiert."), -1);
}

TEST_F(InstallEndToEnd, MissingFileIsRepairedOnlyOnceTheApplicationIsClosed) {
    keepWholeArchiveRoad();
    client.install(idOf("good"));
    fs::remove(versionFolder("good") / L"data" / L"payload.bin");
    {
        RunningApplication application(scratch / L"running");
        ASSERT_TRUE(awaitApplication(true));
        EXPECT_EQ(failureOf([&] { client.install(idOf("good")); }),
                  "Programmdateien sind beschädigt. Anwendung vor der Reparatur beenden.");
        EXPECT_EQ(namesIn(releases()), std::vector<std::string>{idOf("good")});
        EXPECT_FALSE(fs::exists(versionFolder("good") / L"data" / L"payload.bin"));
    }
    ASSERT_TRUE(awaitApplication(false));

    client.install(idOf("good"));

    const std::vector<std::string> names = namesIn(releases());
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names[0], idOf("good"));
    EXPECT_TRUE(hasDamagedName(names[1], idOf("good"))) << names[1];
    EXPECT_EQ(snapshot(versionFolder("good")), snapshot(treeOf("good")));
    EXPECT_FALSE(fs::exists(releases() / toWide(names[1]) / L"data" / L"payload.bin"));
    EXPECT_TRUE(fs::exists(releases() / toWide(names[1]) / L"appTESSARO.exe"));
    EXPECT_EQ(journal().at("phase"), "installed");
}

// A package path may be 240 bytes, so real installations hold paths beyond 300 characters: install, the
// check of an intact version and the repair of a damaged one all take the long form.
TEST_F(InstallEndToEnd, InstallsChecksAndRepairsWithFullPathsBeyond300Characters) {
    keepWholeArchiveRoad();
    const fs::path deep =
        versionFolder("deep") / L"data" / std::wstring(100, L'd') / std::wstring(100, L'e') / L"deep.bin";
    ASSERT_GT(deep.native().size(), 300u);
    client.install(idOf("deep"));
    EXPECT_EQ(client.install(idOf("deep")).at("releaseId"), idOf("deep"));
    EXPECT_EQ(namesIn(releases()), std::vector<std::string>{idOf("deep")});
    ASSERT_TRUE(::DeleteFileW(extendedPath(deep, false).c_str()));

    client.install(idOf("deep"));

    const std::vector<std::string> names = namesIn(releases());
    ASSERT_EQ(names.size(), 2u);
    EXPECT_TRUE(hasDamagedName(names[1], idOf("deep"))) << names[1];
    EXPECT_EQ(snapshot(versionFolder("deep")), snapshot(treeOf("deep")));
}

TEST_F(InstallEndToEnd, EveryKindOfDamagedContentIsMovedAsideAndInstalledAgain) {
    struct Case {
        const char* what;
        std::function<void(const fs::path&)> damage;
    };
    const std::vector<Case> cases = {
        {"changed byte",
         [](const fs::path& folder) {
             std::string bytes = readBytes(folder / L"testapp-behaviour.json");
             bytes[0] = '[';
             writeBytes(folder / L"testapp-behaviour.json", bytes);
         }},
        {"extra file",
         [](const fs::path& folder) {
             writeBytes(folder / L"data" / L"extra.txt", "x");
         }},
        {"missing file",
         [](const fs::path& folder) {
             fs::remove(folder / L"delivery-manifest.json");
         }},
    };
    keepWholeArchiveRoad();
    client.install(idOf("good"));
    size_t damagedFolders = 0;
    for (const Case& test : cases) {
        SCOPED_TRACE(test.what);
        test.damage(versionFolder("good"));
        client.install(idOf("good"));
        ++damagedFolders;
        const std::vector<std::string> names = namesIn(releases());
        EXPECT_EQ(names.size(), 1 + damagedFolders);
        EXPECT_EQ(snapshot(versionFolder("good")), snapshot(treeOf("good")));
    }
}

// A re-download gives the same bytes for these, so the installed folder must stay where it is (and keep
// working for whatever uses it) instead of being moved aside on every attempt.
TEST_F(InstallEndToEnd, RepairCheckFailuresOtherThanDamagedContentLeaveTheFolderInPlace) {
    struct Case {
        const char* release;
        const char* expected; // empty: any error, but not one of the repair messages
        std::function<void()> arrange;
    };
    FileHandle heldOpen;
    const std::vector<Case> cases = {
        {"engine-mismatch", "Desktopstand stimmt nicht mit Freigabe überein.", {}},
        {"signature-required", "Herausgebersignatur ungültig. Keine Installation.", {}},
        {"good", "",
         [this] {
             // A folder where the receipt belongs: the receipt write fails.
             writeBytes(receipt("good") / L"occupied.txt", "x");
         }},
        {"good", "Datei nicht lesbar.",
         [this, &heldOpen] {
             const fs::path file = versionFolder("good") / L"data" / L"payload.bin";
             heldOpen.reset(::CreateFileW(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
             ASSERT_TRUE(heldOpen.valid());
         }},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(std::string(test.release) + " " + test.expected);
        const fs::path folder = versionFolder(test.release);
        removeTree(releases());
        removeTree(receipt(test.release));
        fs::create_directories(folder);
        fs::copy(treeOf(test.release), folder, fs::copy_options::recursive);
        const auto before = snapshot(folder);
        if (test.arrange)
            test.arrange();

        const std::string message = failureOf([&] { client.install(idOf(test.release)); });
        heldOpen.reset();

        if (*test.expected) {
            EXPECT_EQ(message, test.expected);
        }
        EXPECT_NE(message, "(no error)");
        EXPECT_NE(message, "Programmdateien sind beschädigt. Anwendung vor der Reparatur beenden.");
        EXPECT_EQ(namesIn(releases()), std::vector<std::string>{idOf(test.release)});
        EXPECT_EQ(snapshot(folder), before);
        EXPECT_TRUE(artifactRequests().empty());
        EXPECT_FALSE(fs::exists(journalFile()));
    }
}

TEST_F(InstallEndToEnd, RefusalsBeforeAnyDownloadChangeNothing) {
    struct Case {
        std::string releaseId;
        const char* expected;
    };
    const std::vector<Case> cases = {
        // Its manifest also carries a broken signature: the catalog comparison must come first.
        {idOf("mismatch"), "Katalog und Freigabemanifest passen nicht zusammen."},
        {idOf("wrong-version"), "Falscher Paketstand."},
        {idOf("wrong-build"), "Falscher Paketstand."},
        {idOf("wrong-release-id"), "Falscher Paketstand."},
        {idOf("test-only"), "Testpakete dürfen nicht produktiv installiert werden."},
        {"e2e00000-0000-4000-8000-0000000000ee",
         "Version zuerst aus einem aktuellen freigegebenen Katalog auswählen."},
        // The form passes, but the catalog holds the id in lower case only.
        {"E2E00000-0000-4000-8000-000000000001",
         "Version zuerst aus einem aktuellen freigegebenen Katalog auswählen."},
        {"e2e00000-0000-4000-8000-00000000001", "Ungültige Release-ID."},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.releaseId);
        EXPECT_EQ(failureOf([&] { client.install(test.releaseId); }), test.expected);
    }
    devportal::addFault({{"fault", "status"},
                         {"status", 404},
                         {"path", "/account-api/v1/software/releases/*"},
                         {"times", 1}});
    EXPECT_EQ(failureOf([&] { client.install(idOf("good")); }), "Freigabemanifest nicht verfügbar.");

    EXPECT_TRUE(namesIn(releases()).empty());
    EXPECT_TRUE(namesIn(client.dataRoot / L"receipts").empty());
    EXPECT_TRUE(namesIn(client.dataRoot / L"downloads").empty());
    EXPECT_FALSE(fs::exists(journalFile()));
    EXPECT_TRUE(artifactRequests().empty());
}

TEST_F(InstallEndToEnd, FreeSpaceMustExceedArchiveUnpackedSizeAndReserve) {
    const Json status = loadJsonOr(binaryDir() / L"e2e" / L"free-space.json", Json::object());
    if (!status.value("mounted", false))
        GTEST_SKIP() << status.value("reason", std::string("the free-space fixture did not run"));
    const fs::path exactRoot = toWide(status.at("exactDrive").get<std::string>() + "\\install");
    const fs::path roomyRoot = toWide(status.at("roomyDrive").get<std::string>() + "\\install");
    ensurePrivateDirectory(exactRoot);
    ULARGE_INTEGER available{};
    ASSERT_TRUE(::GetDiskFreeSpaceExW(exactRoot.c_str(), &available, nullptr, nullptr));
    ASSERT_EQ(available.QuadPart, status.at("exactBytes").get<std::uint64_t>())
        << "the volume does not offer the figure the test needs";

    const fs::path data = client.dataRoot;
    useRoots(exactRoot, data);
    EXPECT_EQ(failureOf([&] { client.install(idOf("free-space")); }),
              "Zu wenig freier Speicher für Download und sichere Installation.");
    EXPECT_FALSE(fs::exists(journalFile()));
    EXPECT_TRUE(namesIn(releases()).empty());
    EXPECT_TRUE(artifactRequests().empty());

    useRoots(roomyRoot, data);
    client.install(idOf("free-space"));
    EXPECT_EQ(snapshot(versionFolder("free-space")), snapshot(treeOf("free-space")));
    removeTree(releases());
}

TEST_F(InstallEndToEnd, FailedFinalRenameLeavesReportAndTheNextAttemptReusesTheStage) {
    const fs::path target = versionFolder("good");
    // Something takes the version folder's name while the prepared version waits for its rename.
    onLine = [&](const std::string& text) {
        if (text == "Vorbereitete Version wird abgeschlossen …" && !fs::exists(target))
            fs::create_directories(target);
    };
    const std::int64_t before = std::time(nullptr);
    std::string message;
    try {
        client.install(idOf("good"));
        FAIL() << "the rename did not fail";
    } catch (const FinalizeError& error) {
        EXPECT_EQ(error.windowsError, 183u);
        EXPECT_EQ(error.attempts, 0);
        message = error.what();
    }
    onLine = nullptr;

    const std::string text = readBytes(installationErrorPath(client.dataRoot));
    const Json report = parse(text);
    EXPECT_EQ(text, report.dump(2));
    const Json record = journal();
    EXPECT_EQ(record.at("phase"), "verified");
    EXPECT_EQ(report.size(), 8u);
    EXPECT_GE(report.at("at").get<std::int64_t>(), before);
    EXPECT_LE(report.at("at").get<std::int64_t>(), std::time(nullptr));
    EXPECT_EQ(report.at("attempts"), 0);
    EXPECT_EQ(report.at("message"), message);
    EXPECT_EQ(report.at("phase"), "finalizing");
    EXPECT_EQ(report.at("releaseId"), idOf("good"));
    EXPECT_EQ(report.at("stage"), record.at("stage"));
    EXPECT_EQ(report.at("target"), toUtf8(target.native()));
    EXPECT_EQ(report.at("windowsError"), 183);
    const fs::path stage = toWide(record.at("stage").get<std::string>());
    EXPECT_EQ(snapshot(stage), snapshot(treeOf("good")));

    // The blocker goes; without the partial archive, only the reused stage can avoid a download.
    fs::remove(target);
    for (const auto& entry : fs::directory_iterator(client.dataRoot / L"downloads"))
        fs::remove(entry.path());
    devportal::admin("log/clear", "{}");
    lines.clear();

    client.install(idOf("good"));

    EXPECT_EQ(firstLine("Bereits entpackte Version wird erneut geprüft …"), 0);
    EXPECT_EQ(firstLine("Paket wird entpackt"), -1);
    EXPECT_TRUE(artifactRequests().empty());
    EXPECT_FALSE(fs::exists(stage));
    EXPECT_EQ(snapshot(target), snapshot(treeOf("good")));
    EXPECT_EQ(journal().at("phase"), "installed");
}

TEST_F(InstallEndToEnd, FailedFinalRenameIsReportedEvenWhenItsReportCannotBeWritten) {
    writeBytes(installationErrorPath(client.dataRoot) / L"occupied.txt", "x");
    const fs::path target = versionFolder("good");
    onLine = [&](const std::string& text) {
        if (text == "Vorbereitete Version wird abgeschlossen …" && !fs::exists(target))
            fs::create_directories(target);
    };
    try {
        client.install(idOf("good"));
        FAIL() << "the rename did not fail";
    } catch (const FinalizeError& error) {
        EXPECT_EQ(error.windowsError, 183u);
        EXPECT_EQ(error.attempts, 0);
    }
    EXPECT_TRUE(fs::is_directory(installationErrorPath(client.dataRoot)));
    EXPECT_EQ(journal().at("phase"), "verified");
}

TEST_F(InstallEndToEnd, TransferCutMidwayResumesWithRangeRequest) {
    devportal::addFault({{"fault", "cut"},
                         {"after", 1500000},
                         {"path", std::string(devportal::artifactsPath) + "*"},
                         {"times", 1}});
    EXPECT_EQ(failureOf([&] { client.install(idOf("good")); }),
              "Download unvollständig oder beschädigt. Bitte erneut versuchen.");
    const Json artifact = devportal::artifactOf(idOf("good"));
    const fs::path partial =
        client.dataRoot / L"downloads" / toWide(artifact.at("sha256").get<std::string>() + ".zip.partial");
    ASSERT_TRUE(fs::exists(partial));
    const std::uint64_t kept = fs::file_size(partial);
    EXPECT_EQ(kept, 1500000u);
    EXPECT_EQ(journal().at("phase"), "downloading");

    client.install(idOf("good"));

    const std::vector<Json> downloads = artifactRequests();
    ASSERT_EQ(downloads.size(), 2u);
    EXPECT_EQ(downloads[1].at("range"), "bytes=" + std::to_string(kept) + "-");
    EXPECT_EQ(downloads[1].at("ifRange"), "\"" + artifact.at("sha256").get<std::string>() + "\"");
    EXPECT_EQ(downloads[1].at("status"), 206);
    EXPECT_EQ(snapshot(versionFolder("good")), snapshot(treeOf("good")));
}

TEST_F(InstallEndToEnd, CancelAtEachStageEndsWithItsMessageAndKeepsExistingVersions) {
    keepWholeArchiveRoad();
    client.install(idOf("other"));
    const auto otherTree = snapshot(versionFolder("other"));
    const std::string otherReceipt = readBytes(receipt("other"));

    struct Case {
        const char* cancelAt; // the first line starting with this sets the cancel flag
        const char* expected; // the message, or its start for the rename's composed message
        const char* journalPhase;
    };
    // In this order: each stage runs what the earlier rows left behind (the partial download, then
    // the finished one; the stage left "verified" is reused only by the last row).
    const std::vector<Case> cases = {
        {"Software wird heruntergeladen …", "Download pausiert. Er kann später fortgesetzt werden.",
         "downloading"},
        {"Paket wird entpackt und geprüft", "Abgebrochen. Vorhandene Installation bleibt erhalten.",
         "extracting"},
        {"Programmdateien werden geprüft", "Abgebrochen. Vorhandene Installation bleibt erhalten.",
         "extracting"},
        {"Kompatibilität der vorbereiteten Version wird geprüft …",
         "Installation abgebrochen. Bestehende Versionen bleiben erhalten.", "extracting"},
        {"Vorbereitete Version wird abgeschlossen …", "Installation abgebrochen (Windows-Fehler 1223).",
         "verified"},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.cancelAt);
        client.progress.cancelled = false;
        onLine = [&](const std::string& text) {
            if (text.starts_with(test.cancelAt))
                client.progress.cancelled = true;
        };
        const std::string message = failureOf([&] { client.install(idOf("good")); });
        EXPECT_TRUE(message.starts_with(test.expected)) << message;
        EXPECT_EQ(journal().at("phase"), test.journalPhase);
        EXPECT_FALSE(fs::exists(versionFolder("good")));
        EXPECT_EQ(snapshot(versionFolder("other")), otherTree);
        EXPECT_EQ(readBytes(receipt("other")), otherReceipt);
        EXPECT_FALSE(fs::exists(receipt("good")));
    }
    EXPECT_TRUE(readBytes(installationErrorPath(client.dataRoot)).find("1223") != std::string::npos);

    // The repair check of an installed, damaged version is a stage of its own.
    client.progress.cancelled = false;
    onLine = nullptr;
    client.install(idOf("good"));
    fs::remove(versionFolder("good") / L"appTESSARO.exe");
    onLine = [&](const std::string& text) {
        if (text.starts_with("Programmdateien werden geprüft"))
            client.progress.cancelled = true;
    };
    EXPECT_EQ(failureOf([&] { client.install(idOf("good")); }),
              "Abgebrochen. Vorhandene Installation bleibt erhalten.");
    EXPECT_TRUE(fs::exists(versionFolder("good") / L"testapp-behaviour.json"));
    for (const std::string& name : namesIn(releases()))
        EXPECT_FALSE(hasDamagedName(name, idOf("good"))) << name;
    EXPECT_EQ(snapshot(versionFolder("other")), otherTree);
}

// ---- the road that fetches only what changed ----

// "bytes=first-last" of a package path's local header and data in a release's archive.
std::string entryRange(const std::string& name, const std::string& path) {
    const Json& span = releaseIndex().at(name).at("entries").at(path);
    return "bytes=" + std::to_string(span.at(0).get<std::uint64_t>()) + "-" +
           std::to_string(span.at(1).get<std::uint64_t>());
}

// The ranges of the archive's requests in order; a request for the whole archive shows as "whole".
std::vector<std::string> requestedRanges() {
    std::vector<std::string> ranges;
    for (const Json& request : artifactRequests())
        ranges.push_back(request.at("range").is_null() ? "whole" : request.at("range").get<std::string>());
    return ranges;
}

const std::string archiveEnd = "bytes=-" + std::to_string(22 + 65535 + 20 + 56);

void changeOneByte(const fs::path& file) {
    std::string bytes = readBytes(file);
    bytes[100] = static_cast<char>(bytes[100] ^ 0x55);
    writeBytes(file, bytes);
}

std::vector<std::string> stagingFolders(const fs::path& releases, const std::string& releaseId) {
    std::vector<std::string> found;
    for (const std::string& name : namesIn(releases))
        if (name.starts_with(releaseId + "-staging-"))
            found.push_back(name);
    return found;
}

TEST_F(InstallEndToEnd, UpdateOfTwoChangedFilesFetchesOnlyTheirEntriesAndTheArchiveEnd) {
    client.install(idOf("update-base"));
    devportal::admin("log/clear", "{}");
    lines.clear();

    client.install(idOf("update-next"));

    EXPECT_EQ(snapshot(versionFolder("update-next")), snapshot(treeOf("update-next")));
    EXPECT_EQ(requestedRanges(),
              (std::vector<std::string>{archiveEnd, entryRange("update-next", "data/f20.bin"),
                                        entryRange("update-next", "delivery-manifest.json")}));
    const std::string quotedHash =
        "\"" + devportal::artifactOf(idOf("update-next")).at("sha256").get<std::string>() + "\"";
    for (const Json& request : artifactRequests()) {
        EXPECT_EQ(request.at("ifRange"), quotedHash);
        EXPECT_EQ(request.at("status"), 206);
    }
    EXPECT_GE(firstLine("Unveränderte Dateien werden übernommen (48 / 48 Dateien)"), 0);
    EXPECT_GT(firstLine("Programmdateien vollständig geprüft"), firstLine("Unveränderte Dateien"));
    EXPECT_EQ(journal().at("phase"), "installed");
    EXPECT_EQ(snapshot(versionFolder("update-base")), snapshot(treeOf("update-base")));
}

TEST_F(InstallEndToEnd, RepairOfOneDamagedFileFetchesOnlyThatEntry) {
    client.install(idOf("update-base"));
    changeOneByte(versionFolder("update-base") / L"data" / L"f10.bin");
    // Without the archive of the first install, which a repair would simply unpack again.
    for (const auto& entry : fs::directory_iterator(client.dataRoot / L"downloads"))
        fs::remove(entry.path());
    devportal::admin("log/clear", "{}");

    client.install(idOf("update-base"));

    EXPECT_EQ(requestedRanges(),
              (std::vector<std::string>{archiveEnd, entryRange("update-base", "data/f10.bin")}));
    EXPECT_EQ(snapshot(versionFolder("update-base")), snapshot(treeOf("update-base")));
    const std::vector<std::string> names = namesIn(releases());
    ASSERT_EQ(names.size(), 2u);
    EXPECT_TRUE(hasDamagedName(names[1], idOf("update-base"))) << names[1];
}

TEST_F(InstallEndToEnd, ReusedFileChangedAfterItsVersionWasInstalledIsFetchedInstead) {
    client.install(idOf("update-base"));
    const fs::path changed = versionFolder("update-base") / L"data" / L"f05.bin";
    changeOneByte(changed);
    const std::string changedBytes = readBytes(changed);
    devportal::admin("log/clear", "{}");

    client.install(idOf("update-next"));

    EXPECT_EQ(snapshot(versionFolder("update-next")), snapshot(treeOf("update-next")));
    EXPECT_EQ(requestedRanges(),
              (std::vector<std::string>{archiveEnd, entryRange("update-next", "data/f05.bin"),
                                        entryRange("update-next", "data/f20.bin"),
                                        entryRange("update-next", "delivery-manifest.json")}));
    EXPECT_EQ(readBytes(changed), changedBytes);
}

// Each ends in the installed version, fetched whole: early (before anything was copied) or late (after
// the copies, in a new staging folder).
TEST_F(InstallEndToEnd, EveryAnswerThatIsNotTheRangeAskedForFallsBackToTheWholeArchive) {
    struct Case {
        const char* what;
        Json fault; // null: none
        const char* release;
        bool late;
    };
    const std::string artifacts = std::string(devportal::artifactsPath) + "*";
    const std::vector<Case> cases = {
        {"200 to a range", {{"fault", "ignore-range"}}, "update-next", false},
        {"416", {{"fault", "status"}, {"status", 416}, {"times", 1}}, "update-next", false},
        {"ETag of another file", {{"fault", "wrong-etag"}, {"times", 1}}, "update-next", false},
        {"206 with another Content-Range",
         {{"fault", "wrong-content-range"}, {"skip", 1}, {"times", 1}},
         "update-next",
         true},
        {"multipart answer", {{"fault", "multipart-range"}, {"skip", 1}, {"times", 1}}, "update-next", true},
        {"directory that is not where the end says", nullptr, "update-prepended", false},
    };
    client.install(idOf("update-base"));
    for (const Case& test : cases) {
        SCOPED_TRACE(test.what);
        devportal::admin("faults/clear", "{}");
        devportal::addFault({{"fault", "catalog"},
                             {"variant", "e2e"},
                             {"path", std::string(devportal::catalogPath) + "stable"}});
        if (!test.fault.is_null()) {
            Json fault = test.fault;
            fault["path"] = artifacts;
            devportal::addFault(fault);
        }
        devportal::admin("log/clear", "{}");

        EXPECT_EQ(failureOf([&] { client.install(idOf(test.release)); }), "(no error)");

        EXPECT_EQ(snapshot(versionFolder(test.release)), snapshot(treeOf(test.release)));
        const std::vector<std::string> ranges = requestedRanges();
        ASSERT_FALSE(ranges.empty());
        EXPECT_EQ(ranges.front(), archiveEnd);
        EXPECT_EQ(ranges.back(), "whole");
        EXPECT_EQ(ranges.size(), test.late ? 3u : 2u);
        EXPECT_EQ(stagingFolders(releases(), idOf(test.release)).size(), test.late ? 1u : 0u);
        removeTree(versionFolder(test.release));
        for (const std::string& stage : stagingFolders(releases(), idOf(test.release)))
            removeTree(releases() / toWide(stage));
        fs::remove(receipt(test.release));
        for (const auto& entry : fs::directory_iterator(client.dataRoot / L"downloads"))
            fs::remove(entry.path());
    }
}

TEST_F(InstallEndToEnd, FetchedEntryThatIsNotTheSignedOneFailsAndInstallsNothing) {
    client.install(idOf("update-base"));
    const Json& span = releaseIndex().at("update-next").at("entries").at("data/f20.bin");
    const std::uint64_t header = span.at(0).get<std::uint64_t>();
    struct Case {
        const char* what;
        const char* release;
        std::uint64_t flipAt; // 0: no byte changed on the way
        const char* expected;
    };
    const std::vector<Case> cases = {
        {"a wrong byte in the data", "update-next", header + 30 + 12 + 1000,
         "ZIP-Daten beschädigt oder Speicher voll."},
        {"a local header that names another file", "update-next", header + 30 + 3,
         "ZIP-Daten beschädigt oder Speicher voll."},
        {"content that is not the signed one", "update-tampered", 0,
         "Entpackter Dateiinhalt ist manipuliert."},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.what);
        if (test.flipAt)
            devportal::addFault({{"fault", "flip-byte"},
                                 {"offset", test.flipAt},
                                 {"times", 1},
                                 {"path", std::string(devportal::artifactsPath) + "*"}});
        devportal::admin("log/clear", "{}");

        EXPECT_EQ(failureOf([&] { client.install(idOf(test.release)); }), test.expected);

        EXPECT_FALSE(fs::exists(versionFolder(test.release)));
        EXPECT_FALSE(fs::exists(receipt(test.release)));
        const Json record = journal();
        EXPECT_EQ(record.at("phase"), "extracting");
        EXPECT_FALSE(
            fs::exists(fs::path(toWide(record.at("stage").get<std::string>())) / L"data" / L"f20.bin"));
        for (const std::string& range : requestedRanges())
            EXPECT_NE(range, "whole");
    }
}

// A cancel while copying and one while fetching: the next attempt continues from the kept staging folder
// and ends with the tree an uninterrupted update gives.
TEST_F(InstallEndToEnd, CancelAndRestartOfTheUpdateEndsWithTheSameTree) {
    client.install(idOf("update-base"));
    const std::uint64_t endBytes = 22 + 65535 + 20 + 56;
    struct Case {
        const char* what;
        std::function<bool(const std::string&, std::uint64_t, bool copied)> cancelAt;
        std::vector<std::string> rangesAfterRestart;
    };
    const std::vector<Case> cases = {
        {"after the copies",
         [](const std::string& text, std::uint64_t, bool) {
             return text == "Unveränderte Dateien werden übernommen (48 / 48 Dateien)";
         },
         {archiveEnd, entryRange("update-next", "data/f20.bin"),
          entryRange("update-next", "delivery-manifest.json")}},
        {"after the first changed entry came",
         [endBytes](const std::string& text, std::uint64_t done, bool copied) {
             return copied && text == "Software wird heruntergeladen …" && done > endBytes;
         },
         {archiveEnd, entryRange("update-next", "delivery-manifest.json")}},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.what);
        removeTree(versionFolder("update-next"));
        fs::remove(receipt("update-next"));
        bool copied = false;
        client.progress.cancelled = false;
        client.progress.report = [&](const std::string& text, std::uint64_t done, std::uint64_t) {
            copied = copied || text.starts_with("Unveränderte Dateien");
            if (test.cancelAt(text, done, copied))
                client.progress.cancelled = true;
        };
        EXPECT_EQ(failureOf([&] { client.install(idOf("update-next")); }),
                  "Download pausiert. Er kann später fortgesetzt werden.");
        EXPECT_FALSE(fs::exists(versionFolder("update-next")));
        EXPECT_EQ(journal().at("phase"), "extracting");

        client.progress.cancelled = false;
        client.progress.report = nullptr;
        devportal::admin("log/clear", "{}");
        client.install(idOf("update-next"));

        EXPECT_EQ(snapshot(versionFolder("update-next")), snapshot(treeOf("update-next")));
        EXPECT_EQ(requestedRanges(), test.rangesAfterRestart);
    }
}

} // namespace
} // namespace tess::test
