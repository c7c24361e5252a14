#include "portal/catalog_fetch.hpp"

#include "foundation/crypto.hpp"
#include "portal/portal_tests.hpp"

#include <gtest/gtest.h>

namespace tess {
namespace {

namespace portal = test::devportal;
using test::errorText;

class LoadCatalog : public ::testing::Test {
  protected:
    void SetUp() override {
        portal::reset();
        client.acceptTokenResponse(portal::issueTokens());
    }

    // Everything a load may change: both files and the list of releases.
    struct Snapshot {
        std::optional<std::string> state, stable, snapshot;
        std::vector<Json> releases;
        bool operator==(const Snapshot&) const = default;
    };
    Snapshot snapshot() {
        const auto read = [](const std::filesystem::path& path) {
            return std::filesystem::exists(path) ? std::optional(test::readBytes(path)) : std::nullopt;
        };
        return {read(catalogStatePath(client.dataRoot)), read(cachedCatalogPath(client.dataRoot, "stable")),
                read(cachedCatalogPath(client.dataRoot, "snapshot")), client.catalogReleases};
    }
    void serveVariant(const std::string& variant) {
        portal::addFault({{"fault", "catalog"}, {"variant", variant}, {"times", 1}});
    }

    test::ScratchClient scratch;
    Client& client = scratch.client;
};

TEST_F(LoadCatalog, UnknownChannelIsRefusedBeforeAnyRequest) {
    for (const char* channel : {"Stable", "beta", ""})
        EXPECT_EQ(errorText([&] { client.loadCatalog(channel); }), "Ungültiger Kanal.") << channel;
    EXPECT_TRUE(portal::requestLog().empty());
}

TEST_F(LoadCatalog, StateOnlyMovesForwardAndBindsAGenerationToItsBytes) {
    std::vector<std::string> lines;
    client.progress.report = [&](const std::string& text, std::uint64_t, std::uint64_t) {
        lines.push_back(text);
    };
    const std::string stable = portal::catalogBytes("stable.json");
    client.loadCatalog("stable");
    EXPECT_EQ(lines, std::vector<std::string>{"Verfügbare Versionen geladen."});
    EXPECT_EQ(parse(test::readBytes(catalogStatePath(client.dataRoot))),
              (Json{{"stable", 5}, {"stableHash", sha256Hex(stable)}}));
    EXPECT_EQ(test::readBytes(cachedCatalogPath(client.dataRoot, "stable")), stable);
    ASSERT_EQ(client.catalogReleases.size(), 1u);
    EXPECT_EQ(client.catalogReleases[0].at("releaseId"), portal::stableRelease);
    EXPECT_EQ(client.catalogReleases[0].at("channel"), "stable");
    EXPECT_EQ(client.catalogReleases[0].at("recommended"), true);
    EXPECT_EQ(client.catalogReleases[0].at("version"), "2.4.0");

    const Snapshot accepted = snapshot();
    client.loadCatalog("stable");
    EXPECT_EQ(snapshot(), accepted);

    struct Case {
        const char* variant;
        const char* message;
    } refused[] = {
        {"changed", "Katalog wurde ohne neue Generation verändert."},
        {"old", "Veralteter Katalog wurde abgewiesen."},
        {"testonly", "Testkatalog ist nicht für die Produktion bestimmt."},
    };
    for (const Case& c : refused) {
        serveVariant(c.variant);
        EXPECT_EQ(errorText([&] { client.loadCatalog("stable"); }), c.message) << c.variant;
        EXPECT_EQ(snapshot(), accepted) << c.variant;
    }

    client.loadCatalog("snapshot");
    ASSERT_EQ(client.catalogReleases.size(), 1u);
    EXPECT_EQ(client.catalogReleases[0].at("releaseId"), portal::snapshotRelease);
    EXPECT_EQ(client.catalogReleases[0].at("channel"), "snapshot");
    EXPECT_EQ(client.catalogReleases[0].at("recommended"), false);
    EXPECT_EQ(parse(test::readBytes(catalogStatePath(client.dataRoot))),
              (Json{{"snapshot", 2},
                    {"snapshotHash", sha256Hex(portal::catalogBytes("snapshot.json"))},
                    {"stable", 5},
                    {"stableHash", sha256Hex(stable)}}));
}

TEST_F(LoadCatalog, RefusedAnswersChangeNothing) {
    client.loadCatalog("stable");
    const Snapshot accepted = snapshot();
    struct Case {
        const char* channel;
        Json fault;
        const char* message;
    } cases[] = {
        {"stable", {{"fault", "status"}, {"status", 403}}, "Keine Snapshotfreigabe für dieses Konto."},
        {"snapshot", {{"fault", "status"}, {"status", 403}}, "Keine Snapshotfreigabe für dieses Konto."},
        {"stable", {{"fault", "status"}, {"status", 503}}, "Versionskatalog momentan nicht verfügbar."},
        {"stable", {{"fault", "catalog"}, {"variant", "over20m"}}, "Serverantwort zu groß."},
    };
    for (const Case& c : cases) {
        Json rule = c.fault;
        rule["times"] = 1;
        portal::addFault(rule);
        EXPECT_EQ(errorText([&] { client.loadCatalog(c.channel); }), c.message) << c.channel;
        EXPECT_EQ(snapshot(), accepted) << c.channel;
    }

    // An account without snapshot access gets the portal's own 403.
    portal::settings({{"accounts", {{"dev", {{"snapshot", false}}}}}});
    client.credentials = Json::object();
    client.acceptTokenResponse(portal::issueTokens());
    EXPECT_EQ(errorText([&] { client.loadCatalog("snapshot"); }), "Keine Snapshotfreigabe für dieses Konto.");
    EXPECT_EQ(snapshot(), accepted);
}

} // namespace
} // namespace tess
