#include "foundation/json.hpp"
#include "support/test_support.hpp"
#include "trust/envelope.hpp"
#include "trust/launcher_release.hpp"

#include <gtest/gtest.h>

#include <functional>

namespace tess {
namespace {

const char* const releaseId = "7c9e6679-7425-40de-944b-e07fc1f90ae7";

Json launcherRelease() {
    const std::string hash(64, 'b');
    return {{"schemaVersion", 1},
            {"product", "tessaro"},
            {"kind", "bootstrapper"},
            {"platform", "win-x64"},
            {"channel", "stable"},
            {"releaseId", releaseId},
            {"buildId", "1.0.2-dev"},
            {"version", "1.0.2"},
            {"testOnly", false},
            {"artifact",
             {{"sha256", hash},
              {"size", 123456},
              {"artifactId", releaseId},
              {"unpackedSize", 123456},
              {"fileCount", 1}}},
            {"files", Json::array({{{"path", "TESSARO-Setup.exe"}, {"sha256", hash}, {"size", 123456}}})}};
}

std::string refusal(const Json& document) {
    try {
        validateLauncherRelease(document);
        return {};
    } catch (const std::exception& e) {
        return e.what();
    }
}

struct Case {
    const char* label;
    std::function<void(Json&)> change;
    std::string message;
};

void runCases(const std::vector<Case>& cases) {
    for (const auto& c : cases) {
        Json document = launcherRelease();
        c.change(document);
        EXPECT_EQ(refusal(document), c.message) << c.label;
    }
}

std::function<void(Json&)> set(const char* member, Json value) {
    return [=](Json& r) {
        r[member] = value;
    };
}

// Sets the size in all three places that must agree.
std::function<void(Json&)> sized(std::uint64_t size) {
    return [=](Json& r) {
        r["artifact"]["size"] = r["artifact"]["unpackedSize"] = r["files"][0]["size"] = size;
    };
}

TEST(ValidateLauncherRelease, ReadsVersionAndBuildIdentifierStrictly) {
    const std::string version = "Launcherversion ungültig.";
    const std::string build = "Ungültiger Launcherbuild.";
    const std::string allowed = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._-";
    runCases({
        {"1.0.2", set("version", "1.0.2"), ""},
        {"0.0.0", set("version", "0.0.0"), ""},
        {"blank before a number", set("version", " 1. 0. 2"), ""},
        {"1.0", set("version", "1.0"), version},
        {"1.0.2.3", set("version", "1.0.2.3"), version},
        {"1.0.2-beta", set("version", "1.0.2-beta"), version},
        {"blank after the last digit", set("version", "1.0.2 "), version},
        {"1.-1.2", set("version", "1.-1.2"), version},
        {"comma", set("version", "1,0,2"), version},
        {"beyond 32 bits", set("version", "1.0.99999999999"), version},
        {"version not text", set("version", 102),
         "[json.exception.type_error.302] type must be string, but is number"},
        {"build id of 100 allowed characters", set("buildId", (allowed + allowed).substr(0, 100)), ""},
        {"build id of 101 characters", set("buildId", std::string(101, 'a')), build},
        {"empty build id", set("buildId", ""), build},
        {"build id with a slash", set("buildId", "1.0/2"), build},
        {"build id with a blank", set("buildId", "1.0 2"), build},
        {"build id with an umlaut", set("buildId", "1.0.\xC3\xA4"), build},
    });
}

TEST(ValidateLauncherRelease, RefusesOtherReleasesAndTestLaunchers) {
    const std::string invalid = "Launcherfreigabe ungültig.";
    const std::string testLauncher = "Testlauncher ist nicht produktiv verwendbar.";
    runCases({
        {"snapshot channel", set("channel", "snapshot"), invalid},
        {"other kind", set("kind", "application"), invalid},
        {"schema 2", set("schemaVersion", 2), invalid},
        {"product in capitals", set("product", "TESSARO"), invalid},
        {"kind missing", [](Json& r) { r.erase("kind"); },
         "[json.exception.out_of_range.403] key 'kind' not found"},
        {"release identifier malformed", set("releaseId", "7c9e6679-7425-40de-944b-e07fc1f90ae"),
         "Ungültige Launcherfreigabekennung."},
        {"unknown signature policy", set("authenticodePolicy", "none"),
         "Unbekannte Windows-Signaturrichtlinie."},
        {"policy unsigned", set("authenticodePolicy", "unsigned"), ""},
        {"testOnly missing", [](Json& r) { r.erase("testOnly"); }, testLauncher},
        {"testOnly true", set("testOnly", true), testLauncher},
        {"testOnly 0", set("testOnly", 0), testLauncher},
    });
}

TEST(ValidateLauncherRelease, ChecksTheOneLauncherFile) {
    const std::string file = "Launcherdatei ungültig.";
    std::string upperHash(64, 'b');
    upperHash[0] = 'B';
    runCases({
        {"10 MiB exactly", sized(10485760), ""},
        {"10 MiB + 1", sized(10485761), file},
        {"empty file", sized(0), file},
        {"size negative", [](Json& r) { r["artifact"]["size"] = -5; }, file},
        {"hash with a capital in both places",
         [=](Json& r) { r["artifact"]["sha256"] = r["files"][0]["sha256"] = upperHash; }, file},
        {"file hash differs", [](Json& r) { r["files"][0]["sha256"] = std::string(64, 'c'); }, file},
        {"file size differs", [](Json& r) { r["files"][0]["size"] = 123455; }, file},
        {"unpacked size differs", [](Json& r) { r["artifact"]["unpackedSize"] = 1; }, file},
        {"file count 2", [](Json& r) { r["artifact"]["fileCount"] = 2; }, file},
        {"artifact id in capitals",
         [](Json& r) { r["artifact"]["artifactId"] = "7C9E6679-7425-40DE-944B-E07FC1F90AE7"; }, file},
        {"file name in other case", [](Json& r) { r["files"][0]["path"] = "tessaro-setup.exe"; }, file},
        {"two files", [](Json& r) { r["files"].push_back(r["files"][0]); }, file},
        {"no files", [](Json& r) { r["files"] = Json::array(); }, file},
    });
}

TEST(ValidateLauncherRelease, AcceptsTheLauncherReleaseThePublisherToolSigned) {
    const auto path = test::binaryDir() / L"trust-fixtures" / L"portal" / L"launcher" / L"manifest.json";
    const Json keys = parse(
        test::readBytes(test::sourceDir() / L"tools" / L"dev-keys" / L"development-only-trust-keys.json"));
    EXPECT_EQ(refusal(verifyEnvelope(test::readBytes(path), keys)), "");
}

} // namespace
} // namespace tess
