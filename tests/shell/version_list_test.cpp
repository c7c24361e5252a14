// The rows of the version list and their texts: catalog releases first, then installed versions from
// their verified receipts, each once, with its state on this computer.
#include "client/client.hpp"
#include "foundation/files.hpp"
#include "foundation/paths.hpp"
#include "foundation/text.hpp"
#include "foundation/tree.hpp"
#include "shell/version_list.hpp"
#include "support/test_support.hpp"
#include "support/version_fixture.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

namespace tess::test {
namespace {
namespace fs = std::filesystem;

constexpr const char* notInstalled = "7c9e6679-7425-40de-944b-e07fc1f90ae7";

class VersionList : public ::testing::Test {
  protected:
    void SetUp() override {
        client.installRoot = scratch / L"install";
        client.dataRoot = scratch / L"data";
        createDirectories(client.dataRoot / L"receipts");
        a = installPackage(client.installRoot, client.dataRoot, "a");
        b = installPackage(client.installRoot, client.dataRoot, "b");
    }

    std::vector<std::string> idsOf(const std::vector<Json>& rows) const {
        std::vector<std::string> ids;
        for (const Json& row : rows)
            ids.push_back(row.at("releaseId").get<std::string>());
        return ids;
    }
    std::vector<std::string> sorted(std::vector<std::string> values) const {
        std::sort(values.begin(), values.end());
        return values;
    }

    ScratchFolder scratch;
    Client client;
    std::string a;
    std::string b;
};

TEST_F(VersionList, WithoutCatalogShowsExactlyTheVersionsWhoseReceiptsVerify) {
    const fs::path receipts = client.dataRoot / L"receipts";
    writeFileDurably(receipts / L"0f0e0d0c-0b0a-4090-8070-605040302010.json", "{\"damaged\":");
    writeFileDurably(receipts / toWide(std::string(notInstalled) + ".json"),
                     readBytes(receipts / toWide(a + ".json")));
    writeFileDurably(receipts / L"notes.json", readBytes(receipts / toWide(b + ".json")));
    writeFileDurably(receipts / L"readme.txt", "not a receipt");

    const std::vector<Json> rows = collectVersionRows(client);
    EXPECT_EQ(sorted(idsOf(rows)), sorted({a, b}));
    for (const Json& row : rows) {
        auto texts = versionRowTexts(row, "", client.installRoot);
        EXPECT_EQ(texts[2], "Freigegeben");
        EXPECT_EQ(texts[3], "Installiert");
    }
}

TEST_F(VersionList, CatalogRowsComeFirstAndAnInstalledOneShowsOnce) {
    client.catalogReleases = {
        {{"releaseId", notInstalled}, {"version", "9.0.0"}, {"buildId", "9.0.0.1"}, {"channel", "snapshot"}},
        {{"releaseId", b},
         {"version", "2.0.0"},
         {"buildId", "2.0.0-test"},
         {"channel", "stable"},
         {"recommended", true}},
    };
    const std::vector<Json> rows = collectVersionRows(client);
    EXPECT_EQ(idsOf(rows), (std::vector<std::string>{notInstalled, b, a}));
    EXPECT_EQ(versionRowTexts(rows[0], a, client.installRoot),
              (std::array<std::string, 4>{"9.0.0", "9.0.0.1", "Snapshot", "Zum Download"}));
    EXPECT_EQ(versionRowTexts(rows[1], a, client.installRoot),
              (std::array<std::string, 4>{"2.0.0 (empfohlen)", "2.0.0-test", "Freigegeben", "Installiert"}));
    EXPECT_EQ(versionRowTexts(rows[2], a, client.installRoot),
              (std::array<std::string, 4>{"1.0.0", "1.0.0-test", "Freigegeben", "Ausgewählt"}));
}

TEST_F(VersionList, AReceiptWhoseFolderWasDeletedOffersTheDownload) {
    removeTree(client.installRoot / L"releases" / toWide(a));
    const std::vector<Json> rows = collectVersionRows(client);
    auto row = std::find_if(rows.begin(), rows.end(), [&](const Json& r) { return r["releaseId"] == a; });
    ASSERT_NE(row, rows.end());
    EXPECT_EQ(versionRowTexts(*row, "", client.installRoot)[3], "Zum Download");
}

Json with(Json row, const char* member, const Json& value) {
    row[member] = value;
    return row;
}

// A malformed catalog row is left out instead of failing the rebuild and hiding every installed version.
TEST_F(VersionList, MalformedCatalogRowsAreLeftOutAndInstalledVersionsStay) {
    const Json good = {
        {"releaseId", notInstalled}, {"version", "9.0.0"}, {"buildId", "9.0.0.1"}, {"channel", "stable"}};
    const struct {
        const char* what;
        Json row;
    } cases[] = {
        {"version not a string", with(good, "version", 9)},
        {"buildId missing",
         [&] {
             Json row = good;
             row.erase("buildId");
             return row;
         }()},
        {"recommended not a bool", with(good, "recommended", "yes")},
        {"releaseId not a string", with(good, "releaseId", 7)},
        {"not an object", Json::array()},
    };
    for (const auto& c : cases) {
        client.catalogReleases = {c.row, good};
        const std::vector<std::string> ids = idsOf(collectVersionRows(client));
        ASSERT_EQ(ids.size(), 3u) << c.what;
        EXPECT_EQ(ids[0], notInstalled) << c.what;
        EXPECT_EQ(sorted({ids[1], ids[2]}), sorted({a, b})) << c.what;
    }
}

TEST(VersionListSelection, PrefersTheLastRecommendedRowElseTheFirst) {
    auto row = [](const Json& recommended) {
        Json r = {{"releaseId", notInstalled}, {"version", "1"}, {"buildId", "1"}, {"channel", "stable"}};
        if (!recommended.is_null())
            r["recommended"] = recommended;
        return r;
    };
    const struct {
        std::vector<Json> rows;
        size_t selected;
    } cases[] = {
        {{}, 0},
        {{row(nullptr), row(nullptr)}, 0},
        {{row(false), row(true), row(nullptr)}, 1},
        {{row(true), row(false), row(true), row(nullptr)}, 2},
    };
    for (const auto& c : cases)
        EXPECT_EQ(preferredRow(c.rows), c.selected) << c.rows.size() << " rows";
}

} // namespace
} // namespace tess::test
