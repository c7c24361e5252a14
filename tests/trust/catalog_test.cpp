#include "foundation/json.hpp"
#include "support/test_support.hpp"
#include "trust/catalog.hpp"
#include "trust/envelope.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <functional>

namespace tess {
namespace {

constexpr std::int64_t now = 1748779200; // 2025-06-01T12:00:00Z
const char* const releaseId = "0f8fad5b-d9cb-469f-a165-70867728950e";

Json release(const std::string& id, const std::string& artifactId) {
    return {{"releaseId", id},
            {"artifactId", artifactId},
            {"manifestSha256", std::string(64, 'a')},
            {"version", "2.4.0"},
            {"buildId", "2.4.0.118"}};
}

Json catalog() {
    return {{"schemaVersion", 1},
            {"product", "tessaro"},
            {"platform", "win-x64"},
            {"channel", "stable"},
            {"generation", 5},
            {"issuedAt", "2025-06-01T11:00:00Z"},
            {"expiresAt", "2025-06-02T11:00:00Z"},
            {"releases", Json::array({release(releaseId, releaseId)})}};
}

template <class F> std::string refusal(F&& check) {
    try {
        check();
        return {};
    } catch (const std::exception& e) {
        return e.what();
    }
}

struct Case {
    const char* label;
    std::function<void(Json&)> change;
    std::string message;
    std::int64_t lastGeneration = 5;
};

void runCases(const std::vector<Case>& cases) {
    for (const auto& c : cases) {
        Json document = catalog();
        c.change(document);
        EXPECT_EQ(refusal([&] { validateCatalog(document, "stable", c.lastGeneration, now); }), c.message)
            << c.label;
    }
}

TEST(ParseUtcTimestamp, ReadsOnlyTheStrictUtcForm) {
    const std::string invalid = "Ungültiges Metadatendatum.";
    const std::string notUtc = "Metadatendatum benötigt UTC.";
    struct DateCase {
        Json text;
        std::int64_t seconds;
        std::string message;
    } cases[] = {
        {"2025-06-01T12:00:00Z", now, ""},
        {"2025-06-01T12:00:00.5Z", now, ""},
        {"2025-06-01T12:00:00.1234567Z", now, ""},
        {"2025-06-01T12:00:00.9999999Z", now, ""}, // no rounding
        {"1970-01-01T00:00:00Z", 0, ""},
        {"2024-02-29T00:00:00Z", 1709164800, ""},
        {"2000-02-29T00:00:00Z", 951782400, ""},
        {"9999-12-31T23:59:59Z", 253402300799, ""},
        {"2025-06-01T12:00:00.12345678Z", 0, invalid},
        {"2025-06-01T12:00:00.Z", 0, invalid},
        {"2025-06-01T12:00:00,5Z", 0, invalid},
        {"2025-06-01T12:00:00.5 Z", 0, invalid},
        {"2025-06-01T12:00:00\xD9\xA5Z", 0, invalid}, // an Arabic-Indic digit after the seconds
        {"2025-02-30T00:00:00Z", 0, invalid},
        {"2023-02-29T00:00:00Z", 0, invalid},
        {"2100-02-29T00:00:00Z", 0, invalid},
        {"2025-04-31T00:00:00Z", 0, invalid},
        {"2025-13-01T00:00:00Z", 0, invalid},
        {"2025-00-01T00:00:00Z", 0, invalid},
        {"2025-06-00T00:00:00Z", 0, invalid},
        {"2025-06-01T24:00:00Z", 0, invalid},
        {"2025-06-01T12:60:00Z", 0, invalid},
        {"2025-06-01T12:00:60Z", 0, invalid},
        {"1969-12-31T23:59:59Z", 0, invalid},
        {"2025-6-01T12:00:00.0Z", 0, invalid},
        {"+025-06-01T12:00:00Z", 0, invalid},
        {"2025-06-01 12:00:00Z", 0, invalid},
        {"2025/06/01T12:00:00Z", 0, invalid},
        {"2025-06-01T12:00:00+00:00", 0, notUtc},
        {"2025-06-01T12:00:00z", 0, notUtc},
        {"2025-06-01T12:00:0Z", 0, notUtc},
        {"", 0, notUtc},
        {20250601, 0, "[json.exception.type_error.302] type must be string, but is number"},
    };
    for (const auto& c : cases) {
        std::int64_t seconds = -1;
        EXPECT_EQ(refusal([&] { seconds = parseUtcTimestamp(c.text); }), c.message) << c.text.dump();
        if (c.message.empty()) {
            EXPECT_EQ(seconds, c.seconds) << c.text.dump();
        }
    }
}

TEST(ValidateCatalog, ChecksTheValidityWindowAgainstNow) {
    const std::string window = "Katalog ist abgelaufen oder zeitlich ungültig.";
    auto dates = [](const char* issued, const char* expires) {
        return [=](Json& c) {
            c["issuedAt"] = issued;
            c["expiresAt"] = expires;
        };
    };
    runCases({
        {"issued 300 s ahead", dates("2025-06-01T12:05:00Z", "2025-06-02T00:00:00Z"), ""},
        {"issued 301 s ahead", dates("2025-06-01T12:05:01Z", "2025-06-02T00:00:00Z"), window},
        {"expires now", dates("2025-06-01T11:00:00Z", "2025-06-01T12:00:00Z"), window},
        {"expires a second after now", dates("2025-06-01T11:00:00Z", "2025-06-01T12:00:01Z"), ""},
        {"exactly 7 days", dates("2025-05-31T12:00:00Z", "2025-06-07T12:00:00Z"), ""},
        {"7 days and a second", dates("2025-05-31T12:00:00Z", "2025-06-07T12:00:01Z"), window},
        {"issued equal to expiry", dates("2025-06-01T12:01:00Z", "2025-06-01T12:01:00Z"), window},
        {"issued after expiry", dates("2025-06-01T12:02:00Z", "2025-06-01T12:01:00Z"), window},
        {"expiry date malformed", dates("2025-06-01T11:00:00Z", "2025-02-30T00:00:00Z"),
         "Ungültiges Metadatendatum."},
        {"issuedAt missing", [](Json& c) { c.erase("issuedAt"); },
         "[json.exception.out_of_range.403] key 'issuedAt' not found"},
    });
}

TEST(ValidateCatalog, RefusesOtherCatalogsAndOlderGenerations) {
    const std::string wrong = "Falscher Softwarekatalog.";
    const std::string outdated = "Veralteter Katalog wurde abgewiesen.";
    auto set = [](const char* member, Json value) {
        return [=](Json& c) {
            c[member] = value;
        };
    };
    runCases({
        {"generation equal to the last", set("generation", 5), ""},
        {"generation one below", set("generation", 4), outdated},
        {"generation 0, nothing stored", set("generation", 0), outdated, 0},
        {"generation 1, nothing stored", set("generation", 1), "", 0},
        {"generation negative", set("generation", -7), outdated, 0},
        {"floating generation above", set("generation", 5.9), ""},
        {"floating generation below", set("generation", 4.99), outdated},
        {"floating generation under 1", set("generation", 0.5), outdated, 0},
        {"generation at the top of 64 bits", set("generation", 18446744073709551615ull), ""},
        {"generation as text", set("generation", "6"),
         "[json.exception.type_error.302] type must be number, but is string"},
        {"generation as boolean", set("generation", true),
         "[json.exception.type_error.302] type must be number, but is boolean"},
        {"other channel", set("channel", "snapshot"), wrong},
        {"channel not text", set("channel", 1),
         "[json.exception.type_error.302] type must be string, but is number"},
        {"product in capitals", set("product", "TESSARO"), wrong},
        {"other platform", set("platform", "win-x86"), wrong},
        {"schema 2", set("schemaVersion", 2), wrong},
        {"schema as text", set("schemaVersion", "1"), wrong},
        {"schema as 1.0", set("schemaVersion", 1.0), ""},
        {"product missing", [](Json& c) { c.erase("product"); },
         "[json.exception.out_of_range.403] key 'product' not found"},
        {"wrong product before an expired window",
         [](Json& c) {
             c["product"] = "other";
             c["expiresAt"] = "2025-06-01T11:30:00Z";
         },
         wrong},
    });
}

TEST(ValidateCatalog, ChecksTheReleaseList) {
    const std::string invalid = "Ungültige Katalogversion.";
    const std::string upper = "0F8FAD5B-D9CB-469F-A165-70867728950E";
    auto releases = [](Json list) {
        return [=](Json& c) {
            c["releases"] = list;
        };
    };
    Json noArtifact = release(releaseId, releaseId);
    noArtifact.erase("artifactId");
    runCases({
        {"empty list", releases(Json::array()), ""},
        {"not an array", releases(Json::object()), "Katalog zu groß."},
        {"upper-case identifiers", releases(Json::array({release(upper, upper)})), ""},
        {"a dash missing", releases(Json::array({release("0f8fad5bd9cb-469f-a165-70867728950e0", "x")})),
         invalid},
        {"a letter beyond f", releases(Json::array({release("0f8fad5g-d9cb-469f-a165-70867728950e", "x")})),
         invalid},
        {"artifact differs in case", releases(Json::array({release(releaseId, upper)})), invalid},
        {"repeated release",
         releases(Json::array({release(releaseId, releaseId), release(releaseId, releaseId)})), invalid},
        {"artifact missing", releases(Json::array({noArtifact})),
         "[json.exception.out_of_range.403] key 'artifactId' not found"},
        {"release id not text", releases(Json::array({{{"releaseId", 7}}})),
         "[json.exception.type_error.302] type must be string, but is number"},
        {"entry not an object", releases(Json::array({"x"})),
         "[json.exception.type_error.304] cannot use at() with string"},
    });
}

TEST(ValidateCatalog, TakesTheLargestReleaseListWithinItsBound) {
    // Built in place: copies of a list this long cost seconds under Wine.
    Json document = catalog();
    Json& releases = document["releases"];
    releases = Json::array();
    for (int i = 0; i < 10000; ++i) {
        char id[37];
        std::snprintf(id, sizeof id, "00000000-0000-0000-0000-%012d", i);
        releases.push_back(release(id, id));
    }
    EXPECT_EQ(refusal([&] { validateCatalog(document, "stable", 5, now); }), "");
    releases.push_back(release(releaseId, releaseId));
    EXPECT_EQ(refusal([&] { validateCatalog(document, "stable", 5, now); }), "Katalog zu groß.");
}

TEST(ValidateCatalog, AcceptsTheCatalogThePublisherToolSigned) {
    const auto path = test::binaryDir() / L"trust-fixtures" / L"portal" / L"catalogs" / L"stable.json";
    const Json keys = parse(
        test::readBytes(test::sourceDir() / L"tools" / L"dev-keys" / L"development-only-trust-keys.json"));
    const Json document = verifyEnvelope(test::readBytes(path), keys);
    EXPECT_EQ(refusal([&] { validateCatalog(document, "stable", 0, std::time(nullptr)); }), "");
    EXPECT_EQ(refusal([&] { validateCatalog(document, "snapshot", 0, std::time(nullptr)); }),
              "Falscher Softwarekatalog.");
}

} // namespace
} // namespace tess
