#include "client/client.hpp"
#include "launcher/update.hpp"
#include "launcher_fixture.hpp"

#include <gtest/gtest.h>

namespace tess {
namespace {

using namespace test;

TEST(LauncherVersion, ReadsThreeNonNegativePartsAndNothingAfter) {
    using Parts = std::array<std::int64_t, 3>;
    struct Case {
        const char* text;
        std::optional<Parts> parts;
    } cases[] = {
        {"1.0.2", Parts{1, 0, 2}},    {"10.20.30", Parts{10, 20, 30}},
        {" 1.0.2", Parts{1, 0, 2}},   {"1.0.70000", Parts{1, 0, 70000}},
        {"1.0", std::nullopt},        {"1.0.2.3", std::nullopt},
        {"1.0.2-beta", std::nullopt}, {"1.0.2 ", std::nullopt},
        {"1.-1.2", std::nullopt},     {"1,0,2", std::nullopt},
        {"", std::nullopt},           {"a.b.c", std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(readLauncherVersion(c.text), c.parts) << c.text;
}

TEST(LauncherVersion, CountsOnlyGreaterVersionsAndUnreadableOnesAsNewer) {
    struct Case {
        const char* text;
        bool newer;
    } cases[] = {
        {"1.0.3", true},     {"1.1.0", true},     {"2.0.0", true},    {"1.0.2", false},
        {"0.9.9", false},    {"1.0.1", false},    {"0.99.99", false}, {"1.0.65535", true},
        {"1.0.65536", true}, {"0.0.70000", true}, {"1.0", true},      {"x", true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(isNewerThanRunningLauncher(c.text), c.newer) << c.text;
}

class LauncherUpdate : public ::testing::Test {
  protected:
    UserState state;
};

fs::path partialDownload(const std::string& variant) {
    return dataRoot() / L"downloads" / toWide("launcher-" + variantSha(variant) + ".partial");
}

// Runs the preparation in this process; the failure's message (empty on success) and the reports.
std::pair<std::string, std::vector<std::string>> updateInProcess() {
    std::vector<std::string> reports;
    try {
        Client client;
        client.progress.report = [&reports](const std::string& text, std::uint64_t, std::uint64_t) {
            reports.push_back(text);
        };
        client.updateLauncher();
        return {"", reports};
    } catch (const std::exception& failure) {
        return {failure.what(), reports};
    }
}

TEST_F(LauncherUpdate, DoesNothingWithoutANewerRelease) {
    struct Case {
        const char* name;
        std::optional<std::string> offered;
        int status;
    } cases[] = {
        {"no release (404)", std::nullopt, 0},
        {"portal busy (503)", "tessaro-1.0.3", 503},
        {"release 1.0.2", "tessaro-1.0.2", 0},
        {"release 0.9.9", "tessaro-0.9.9", 0},
    };
    for (const Case& c : cases) {
        UserState::reset();
        if (c.offered)
            offerVariant(*c.offered);
        else
            withdrawLauncher();
        if (c.status)
            devportal::addFault(
                {{"fault", "status"}, {"status", c.status}, {"path", "/software/bootstrap/manifest"}});
        auto [message, reports] = updateInProcess();
        EXPECT_EQ(message, "") << c.name;
        EXPECT_TRUE(reports.empty()) << c.name;
        EXPECT_FALSE(present(updateDocument())) << c.name;
        EXPECT_TRUE(entriesOf(installRoot() / L"updater").empty()) << c.name;
        EXPECT_TRUE(entriesOf(dataRoot() / L"downloads").empty()) << c.name;
    }
}

TEST_F(LauncherUpdate, PortalFailuresEndThePreparationWithTheirMessage) {
    struct Case {
        const char* name;
        Json fault;
        std::string message;
    } cases[] = {
        {"bootstrap manifest 500",
         {{"fault", "status"}, {"status", 500}, {"path", "/software/bootstrap/manifest"}},
         "Launcherinformationen nicht verfügbar."},
        {"launcher file wants a sign-in",
         {{"fault", "status"}, {"status", 401}, {"path", "/software/TESSARO-Setup.exe"}},
         "Öffentliche Launcherdatei ist nicht verfügbar."},
    };
    for (const Case& c : cases) {
        UserState::reset();
        offerVariant("tessaro-1.0.3");
        devportal::addFault(c.fault);
        EXPECT_EQ(updateInProcess().first, c.message) << c.name;
        EXPECT_FALSE(present(updateDocument())) << c.name;
        EXPECT_TRUE(entriesOf(installRoot() / L"updater").empty()) << c.name;
    }
}

// The manager (the driver) prepares, exits, and the helper started from the staged 1.0.3 swaps it in.
TEST_F(LauncherUpdate, NewerReleaseIsDownloadedStagedAndSwappedInAfterTheManagerExits) {
    installVariant("tessaro-1.0.2");
    offerVariant("tessaro-1.0.3");
    const fs::path staged = stagedLauncherPath(installRoot(), variantSha("tessaro-1.0.3"));
    {
        InstanceMutexHolder otherManager; // the helper waits for it, so the prepared state can be seen
        ASSERT_EQ(runDriver(binaryDir() / L"bin" / L"launcher_driver.exe", L"update"),
                  std::optional<DWORD>(0));
        std::optional<Json> report = standInReport(L"update.json");
        ASSERT_TRUE(report.has_value());
        EXPECT_EQ((*report)["error"], nullptr);
        EXPECT_EQ((*report)["reports"].back(),
                  "Neuer Launcher vorbereitet. Versionsverwaltung schließen und erneut "
                  "öffnen, um ihn zu übernehmen.");
        EXPECT_EQ(readBytes(partialDownload("tessaro-1.0.3")), variantBytes("tessaro-1.0.3"));
        EXPECT_EQ(readBytes(staged), variantBytes("tessaro-1.0.3"));
        Json expected = setupDocument("tessaro-1.0.3", staged, "1.0.3");
        expected["phase"] = "prepared";
        EXPECT_EQ(readBytes(updateDocument()), dumpCompact(expected));
        // A second preparation while the helper waits starts no other one.
        ASSERT_EQ(runDriver(binaryDir() / L"bin" / L"launcher_driver.exe", L"update"),
                  std::optional<DWORD>(0));
        EXPECT_EQ(processesNamed(L"launcher-").size(), 1u);
        EXPECT_EQ(readBytes(installedLauncher()), variantBytes("tessaro-1.0.2"));
    }
    ASSERT_TRUE(waitForProcessesToEnd(L"launcher-", 120000));
    EXPECT_EQ(readBytes(installedLauncher()), variantBytes("tessaro-1.0.3"));
    EXPECT_EQ(readBytes(launcherReceipt()), variantEnvelope("tessaro-1.0.3"));
    EXPECT_EQ(readDocument(updateDocument())["phase"], "complete");
}

TEST_F(LauncherUpdate, AlteredStagedLauncherIsRemovedSoThatTheNextPreparationHeals) {
    installVariant("tessaro-1.0.2");
    offerVariant("tessaro-1.0.3");
    const fs::path staged = stagedLauncherPath(installRoot(), variantSha("tessaro-1.0.3"));
    writeBytes(staged, "altered");

    EXPECT_EQ(updateInProcess().first, "Launcherdatei wurde verändert.");
    EXPECT_FALSE(present(staged));
    EXPECT_FALSE(present(updateDocument()));
    EXPECT_EQ(readBytes(partialDownload("tessaro-1.0.3")), variantBytes("tessaro-1.0.3"));

    ASSERT_EQ(runDriver(binaryDir() / L"bin" / L"launcher_driver.exe", L"update"), std::optional<DWORD>(0));
    ASSERT_TRUE(waitForProcessesToEnd(L"launcher-", 120000));
    EXPECT_EQ(readBytes(installedLauncher()), variantBytes("tessaro-1.0.3"));
    EXPECT_EQ(readDocument(updateDocument())["phase"], "complete");
}

} // namespace
} // namespace tess
