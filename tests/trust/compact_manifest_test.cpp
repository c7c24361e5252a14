#include "foundation/json.hpp"
#include "support/test_support.hpp"
#include "trust/compact_manifest.hpp"
#include "trust/manifest.hpp"

#include <gtest/gtest.h>

#include <functional>

namespace tess {
namespace {
using test::failureOf;

const char* const releaseId = "0f8fad5b-d9cb-469f-a165-70867728950e";
const std::string fileHash(64, 'c');

Json file(const std::string& path, const Json& size) {
    return {{"path", path}, {"size", size}, {"sha256", fileHash}};
}

// Four files of 500 + 60 + 40 + 0 bytes, as the publisher tool writes them.
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
              {"sha256", std::string(64, 'a')},
              {"fileCount", 4}}},
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
                                   file("data/x.bin", 40), file("data/y.bin", 0)})}};
}

using Text = std::function<std::string()>;

Text edited(const std::function<void(Json&)>& change) {
    return [change] {
        Json document = manifest();
        change(document);
        return document.dump();
    };
}

// The written manifest with the first `from` replaced by `to`.
Text replaced(const std::string& from, const std::string& to) {
    return [from, to] {
        std::string text = manifest().dump();
        text.replace(text.find(from), from.size(), to);
        return text;
    };
}

std::function<void(Json&)> added(std::vector<Json> entries) {
    return [entries](Json& m) {
        for (const Json& entry : entries)
            m["files"].push_back(entry);
    };
}

Json nestedArrays(int count, const Json& inner) {
    Json value = inner;
    for (int i = 0; i < count; ++i)
        value = Json::array({value});
    return value;
}

// The compact road must give every document the outcome the document road gives it: the same first
// defect in the same words, or the same manifest.
TEST(ReadCompactManifest, ReadsEveryDocumentAsTheDocumentRoadDoes) {
    const std::string deep = "JSON zu tief verschachtelt.";
    const std::string twice = "Doppeltes JSON-Feld.";
    const std::string exceeded = "Entpackte Größe überschritten.";
    const std::string repeated = "Doppelter Paketpfad.";
    const std::string entryX = R"({"path":"data/x.bin","sha256":")" + fileHash + R"(","size":40})";
    struct Case {
        const char* label;
        Text text;
        std::string expected;
    } cases[] = {
        {"as the publisher tool writes it", edited([](Json&) {}), ""},
        {"entry members in another order",
         replaced(entryX, R"({"size":40,"sha256":")" + fileHash + R"(","path":"data/x.bin"})"), ""},
        {"size written as 40.0", edited([](Json& m) { m["files"][2]["size"] = 40.0; }), ""},
        {"size written as false", edited([](Json& m) { m["files"][3]["size"] = false; }),
         "[json.exception.type_error.302] type must be number, but is boolean"},
        {"an entry with a further member", edited([](Json& m) { m["files"][2]["mode"] = 1; }), ""},
        {"sizes exceed the total before a repeated path", edited([](Json& m) {
             m["files"][1]["size"] = 61;
             added({file("DATA/X.bin", 0)})(m);
         }),
         exceeded},
        {"repeated path before the sizes exceed the total",
         edited(added({file("DATA/X.bin", 0), file("big.bin", 1000)})), repeated},
        {"refused path before a repeated path", edited([](Json& m) {
             m["files"][2]["path"] = "data/aux.txt";
             added({file("DATA/Y.bin", 0)})(m);
         }),
         "Reservierter Windows-Dateiname."},
        {"repeated path before a refused path", edited(added({file("DATA/X.bin", 0), file("a\\b", 0)})),
         repeated},
        {"sizes exceed the total before a refused path", edited([](Json& m) {
             m["files"][1]["size"] = 61;
             m["files"][3]["path"] = "con";
         }),
         exceeded},
        {"umlaut case pair", edited(added({file("data/\xC3\x84.bin", 0), file("data/\xC3\xA4.bin", 0)})),
         repeated},
        {"member twice at the top", replaced(R"("channel":"stable")", R"("channel":"stable","channel":"x")"),
         twice},
        {"member twice in a file entry", replaced(R"("size":40})", R"("size":40,"size":40})"), twice},
        {"member twice in the compatibility",
         replaced(R"("engine":"corvalis-7")", R"("engine":"a","engine":"b")"), twice},
        {"file list twice", replaced(R"("files":[)", R"("files":[],"files":[)"), twice},
        {"79 arrays in a member", edited([](Json& m) { m["deep"] = nestedArrays(78, Json::array()); }), ""},
        {"80 arrays in a member", edited([](Json& m) { m["deep"] = nestedArrays(79, Json::array()); }), deep},
        {"a number inside 79 arrays", edited([](Json& m) { m["deep"] = nestedArrays(79, 5); }), deep},
        {"text after the document", [] { return manifest().dump() + " x"; },
         "JSON-Dokument ist unvollstaendig oder ungueltig."},
        {"file list empty", edited([](Json& m) { m["files"] = Json::array(); }), "Dateianzahl ungültig."},
        {"file list an object", edited([](Json& m) { m["files"] = Json::object(); }),
         "Dateianzahl ungültig."},
        {"no file list", edited([](Json& m) { m.erase("files"); }),
         "[json.exception.out_of_range.403] key 'files' not found"},
        {"document an array", [] { return std::string("[1]"); },
         "[json.exception.type_error.306] cannot use value() with array"},
        {"an entry a number", edited([](Json& m) { m["files"][2] = 5; }),
         "[json.exception.type_error.304] cannot use at() with number"},
        {"size in quotes", edited([](Json& m) { m["files"][2]["size"] = "40"; }),
         "[json.exception.type_error.302] type must be number, but is string"},
        {"hash with a capital", edited([](Json& m) { m["files"][2]["sha256"] = std::string(63, 'c') + "C"; }),
         "Dateihash ungültig."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string text = c.text();
        EXPECT_EQ(failureOf([&] { validateManifest(parse(text)); }), c.expected) << "document road";
        EXPECT_EQ(failureOf([&] { (void)readCompactManifest(text); }), c.expected) << "compact road";
        if (c.expected.empty())
            EXPECT_EQ(readCompactManifest(text).toJson(), compactManifest(parse(text)).toJson());
    }
    EXPECT_EQ(readCompactManifest(manifest().dump()).toJson(), manifest());
}

// Extraction compares the archive's sizes with the listed ones as JSON numbers: a size the document
// wrote as a fraction matches no archive entry, whatever it reads as.
TEST(CompactManifest, ListedSizesEqualByteCountsAsJsonNumbersDo) {
    for (const Json& size : {Json(40), Json(40.0), Json(40.5), Json(-0.0)}) {
        Json document = manifest();
        document["files"][2]["size"] = size;
        document["artifact"]["unpackedSize"] = 560 + readUnsigned(size, "");
        const CompactManifest compact = compactManifest(document);
        for (std::uint64_t bytes : {0, 1, 40, 41})
            EXPECT_EQ(compact.sizeEquals(2, bytes), Json(bytes) == size)
                << size.dump() << " against " << bytes;
    }
}

} // namespace
} // namespace tess
