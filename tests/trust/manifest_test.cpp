#include "foundation/json.hpp"
#include "support/test_support.hpp"
#include "trust/envelope.hpp"
#include "trust/manifest.hpp"

#include <gtest/gtest.h>

#include <functional>

namespace tess {
namespace {

const char* const releaseId = "0f8fad5b-d9cb-469f-a165-70867728950e";

std::string hash(char fill) {
    return std::string(64, fill);
}

Json file(const std::string& path, std::uint64_t size) {
    return {{"path", path}, {"size", size}, {"sha256", hash('c')}};
}

// Three files of 500 + 60 + 40 bytes.
Json manifest() {
    return {{"schemaVersion", 1},
            {"product", "tessaro"},
            {"platform", "win-x64"},
            {"releaseId", releaseId},
            {"channel", "stable"},
            {"version", "2.4.0"},
            {"buildId", "2.4.0.118"},
            {"artifact",
             {{"artifactId", releaseId},
              {"size", 1000},
              {"unpackedSize", 600},
              {"sha256", hash('a')},
              {"fileCount", 3}}},
            {"compatibility",
             {{"profileSchemaMin", 1},
              {"profileSchemaMax", 2},
              {"profileSchemaWrite", 2},
              {"projectSchemaMin", 1},
              {"projectSchemaMax", 1},
              {"projectSchemaWrite", 1},
              {"minWindowsBuild", 10240},
              {"minLauncherVersion", "1.0.0"},
              {"engine", "corvalis-7"}}},
            {"files", Json::array({file("appTESSARO.exe", 500), file("delivery-manifest.json", 60),
                                   file("data/x.bin", 40)})}};
}

std::string refusal(const Json& document) {
    try {
        validateManifest(document);
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
        Json document = manifest();
        c.change(document);
        EXPECT_EQ(refusal(document), c.message) << c.label;
    }
}

// Replaces the file list and keeps the declared totals in step with it.
std::function<void(Json&)> withFiles(Json files) {
    return [files](Json& m) {
        std::uint64_t total = 0;
        for (const Json& f : files)
            total += f.at("size").get<std::uint64_t>();
        m["files"] = files;
        m["artifact"]["unpackedSize"] = total;
        m["artifact"]["fileCount"] = files.size();
    };
}

std::function<void(Json&)> withExtraFile(Json extra) {
    Json files = manifest().at("files");
    files.push_back(extra);
    return withFiles(files);
}

std::function<void(Json&)> setArtifact(const char* member, Json value) {
    return [=](Json& m) {
        m["artifact"][member] = value;
    };
}

std::function<void(Json&)> setCompatibility(const char* member, Json value) {
    return [=](Json& m) {
        m["compatibility"][member] = value;
    };
}

TEST(AuthenticodePolicy, DefaultsToRequiredAndKnowsOnlyTwoValues) {
    struct PolicyCase {
        Json document;
        std::string outcome; // "true", "false" or the refusal
    } cases[] = {
        {manifest(), "true"},
        {{{"authenticodePolicy", "required"}}, "true"},
        {{{"authenticodePolicy", "unsigned"}}, "false"},
        {{{"authenticodePolicy", "Unsigned"}}, "Unbekannte Windows-Signaturrichtlinie."},
        {{{"authenticodePolicy", ""}}, "Unbekannte Windows-Signaturrichtlinie."},
        {{{"authenticodePolicy", nullptr}},
         "[json.exception.type_error.302] type must be string, but is null"},
    };
    for (const auto& c : cases) {
        std::string outcome;
        try {
            outcome = authenticodeRequired(c.document) ? "true" : "false";
        } catch (const std::exception& e) {
            outcome = e.what();
        }
        EXPECT_EQ(outcome, c.outcome) << c.document.dump();
    }
}

TEST(ValidateManifest, AcceptsSoundManifests) {
    const std::uint64_t sixteenGiB = 17179869184;
    runCases({
        {"as it stands", [](Json&) {}, ""},
        {"policy unsigned", [](Json& m) { m["authenticodePolicy"] = "unsigned"; }, ""},
        {"archive of exactly 4 GiB", setArtifact("size", 4294967296ull), ""},
        {"unpacked exactly 16 GiB",
         withFiles(Json::array({file("appTESSARO.exe", sixteenGiB - 1), file("delivery-manifest.json", 1)})),
         ""},
        {"nothing unpacked",
         withFiles(Json::array({file("appTESSARO.exe", 0), file("delivery-manifest.json", 0)})), ""},
        {"required files in other case",
         withFiles(Json::array({file("APPtessaro.EXE", 1), file("Delivery-Manifest.JSON", 1)})), ""},
        {"schema contract 2/2/2",
         [](Json& m) {
             m["compatibility"]["profileSchemaMin"] = 2;
             m["compatibility"]["profileSchemaWrite"] = 2;
             m["compatibility"]["profileSchemaMax"] = 2;
         },
         ""},
        {"snapshot channel", [](Json& m) { m["channel"] = "snapshot"; }, ""},
        {"upper-case release identifier",
         [](Json& m) {
             m["releaseId"] = m["artifact"]["artifactId"] = "0F8FAD5B-D9CB-469F-A165-70867728950E";
         },
         ""},
    });
}

TEST(ValidateManifest, RefusesEachDefectWithItsMessage) {
    const std::string sizes = "Paketgrößen außerhalb des erlaubten Bereichs.";
    const std::string totals = "Paketgrößen passen nicht zum Manifest.";
    const std::string schema = "Schema-Vertrag ungültig.";
    const std::string contract = "Kompatibilitätsvertrag fehlt.";
    const std::string invalid = "Paketmanifest ungültig.";
    std::string upperHash = hash('a');
    upperHash[17] = 'A';
    runCases({
        {"policy Required, product wrong too",
         [](Json& m) {
             m["authenticodePolicy"] = "Required";
             m["product"] = "other";
         },
         "Unbekannte Windows-Signaturrichtlinie."},
        {"policy not text", [](Json& m) { m["authenticodePolicy"] = true; },
         "[json.exception.type_error.302] type must be string, but is boolean"},
        {"schema 2", [](Json& m) { m["schemaVersion"] = 2; }, invalid},
        {"product in capitals", [](Json& m) { m["product"] = "Tessaro"; }, invalid},
        {"other platform", [](Json& m) { m["platform"] = "win-arm64"; }, invalid},
        {"release identifier without dashes",
         [](Json& m) { m["releaseId"] = "0f8fad5bd9cb469fa16570867728950e"; }, invalid},
        {"product not text", [](Json& m) { m["product"] = 5; },
         "[json.exception.type_error.302] type must be string, but is number"},
        {"unknown channel", [](Json& m) { m["channel"] = "beta"; }, "Unbekannter Kanal."},
        {"version not text", [](Json& m) { m["version"] = 2; }, "Versionskennung fehlt."},
        {"build id null", [](Json& m) { m["buildId"] = nullptr; }, "Versionskennung fehlt."},
        {"archive of 4 GiB + 1", setArtifact("size", 4294967297ull), sizes},
        {"archive of 0 bytes", setArtifact("size", 0), sizes},
        {"archive of -1 bytes", setArtifact("size", -1), sizes},
        {"archive of 1e30 bytes", setArtifact("size", 1e30), sizes},
        {"unpacked 16 GiB + 1", setArtifact("unpackedSize", 17179869185ull), sizes},
        {"artifact hash with one capital", setArtifact("sha256", upperHash), "Pakethash ungültig."},
        {"artifact hash of 63 characters", setArtifact("sha256", hash('a').substr(1)), "Pakethash ungültig."},
        {"artifact hash not text", setArtifact("sha256", 1), "Pakethash ungültig."},
        {"artifact id in capitals", setArtifact("artifactId", "0F8FAD5B-D9CB-469F-A165-70867728950E"),
         "Artefaktkennung stimmt nicht."},
        {"profile Min 0", setCompatibility("profileSchemaMin", 0), schema},
        {"profile Write 3 above Max 2", setCompatibility("profileSchemaWrite", 3), schema},
        {"project Max below Min", setCompatibility("projectSchemaMax", 0), schema},
        {"profile Max beyond 32 bits", setCompatibility("profileSchemaMax", 4294967298ull), schema},
        {"Windows build 0", setCompatibility("minWindowsBuild", 0), contract},
        {"engine not text", setCompatibility("engine", 7), contract},
        {"engine missing", [](Json& m) { m["compatibility"].erase("engine"); },
         "[json.exception.out_of_range.403] key 'engine' not found"},
        {"no files", withFiles(Json::array()), "Dateianzahl ungültig."},
        {"files not an array", [](Json& m) { m["files"] = Json::object(); }, "Dateianzahl ungültig."},
        {"path differs only in case", withExtraFile(file("DATA/X.bin", 0)), "Doppelter Paketpfad."},
        {"one non-ASCII name", withExtraFile(file("data/\xC3\x84.bin", 0)), ""},
        {"umlaut case pair",
         [](Json& m) {
             withExtraFile(file("data/\xC3\x84.bin", 0))(m);
             m["files"].push_back(file("data/\xC3\xA4.bin", 0));
             m["artifact"]["fileCount"] = 5;
         },
         "Doppelter Paketpfad."},
        {"file and folder", withExtraFile(file("data", 0)),
         "Datei und Verzeichnis verwenden denselben Pfad."},
        {"file and folder in other case", withExtraFile(file("Data/x.bin/inner", 0)),
         "Datei und Verzeichnis verwenden denselben Pfad."},
        {"sizes add up to more", [](Json& m) { m["files"][1]["size"] = 61; },
         "Entpackte Größe überschritten."},
        {"sizes add up to less", [](Json& m) { m["files"][1]["size"] = 59; }, totals},
        {"file size negative", [](Json& m) { m["files"][1]["size"] = -1; }, "Entpackte Größe überschritten."},
        {"file count one more", setArtifact("fileCount", 4), totals},
        {"file hash with one capital", [=](Json& m) { m["files"][0]["sha256"] = upperHash; },
         "Dateihash ungültig."},
        {"path with a backslash", [](Json& m) { m["files"][2]["path"] = "data\\x.bin"; },
         "Unzulässiger Archivpfad."},
        {"path of a device", [](Json& m) { m["files"][2]["path"] = "data/aux.txt"; },
         "Reservierter Windows-Dateiname."},
        {"program below a folder",
         withFiles(Json::array({file("bin/appTESSARO.exe", 1), file("delivery-manifest.json", 1)})),
         "TESSARO-Programm fehlt."},
        {"delivery manifest missing",
         withFiles(Json::array({file("appTESSARO.exe", 1), file("other.json", 1)})),
         "TESSARO-Programm fehlt."},
        {"files missing", [](Json& m) { m.erase("files"); },
         "[json.exception.out_of_range.403] key 'files' not found"},
    });
}

TEST(ValidateManifest, TakesTheLargestFileListWithinItsBound) {
    // Built in place: copies of a list this long cost seconds under Wine.
    Json document = manifest();
    Json& files = document["files"];
    files = Json::array({file("appTESSARO.exe", 1), file("delivery-manifest.json", 1)});
    for (int i = 2; i < 100000; ++i)
        files.push_back(file("data/" + std::to_string(i / 1000) + "/f" + std::to_string(i) + ".bin", 1));
    document["artifact"]["unpackedSize"] = document["artifact"]["fileCount"] = 100000;
    EXPECT_EQ(refusal(document), "");
    files.push_back(file("data/one-more.bin", 1));
    document["artifact"]["unpackedSize"] = document["artifact"]["fileCount"] = 100001;
    EXPECT_EQ(refusal(document), "Dateianzahl ungültig.");
}

TEST(ValidateManifest, AcceptsTheManifestThePublisherToolSigned) {
    const auto path = test::binaryDir() / L"trust-fixtures" / L"portal" / L"releases" /
                      L"0f8fad5b-d9cb-469f-a165-70867728950e" / L"manifest.json";
    const Json keys = parse(
        test::readBytes(test::sourceDir() / L"tools" / L"dev-keys" / L"development-only-trust-keys.json"));
    const Json document = verifyEnvelope(test::readBytes(path), keys);
    EXPECT_EQ(refusal(document), "");
    EXPECT_FALSE(authenticodeRequired(document));
}

TEST(IsUuidText, KnowsTheEightFourFourFourTwelveForm) {
    struct UuidCase {
        std::string text;
        bool expected;
    } cases[] = {
        {"0f8fad5b-d9cb-469f-a165-70867728950e", true},
        {"0F8FAD5B-D9CB-469F-A165-70867728950E", true},
        {"00000000-0000-0000-0000-000000000000", true},
        {"0f8fad5b-d9cb-469f-a165-70867728950", false},
        {"0f8fad5b-d9cb-469f-a165-70867728950e0", false},
        {"0f8fad5bd-9cb-469f-a165-70867728950e", false},
        {"{f8fad5b-d9cb-469f-a165-70867728950e", false},
        {"0f8fad5b-d9cb-469f-a165-70867728950g", false},
        {"0f8fad5b-d9cb-469f-a165-7086772895\xC3\xA9", false},
        {"", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(isUuidText(c.text), c.expected) << c.text;
}

} // namespace
} // namespace tess
