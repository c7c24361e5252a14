#include "foundation/error.hpp"
#include "foundation/files.hpp"
#include "foundation/json.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

namespace tess {
namespace {

std::string parseOutcome(const std::string& text) {
    try {
        parse(text);
        return "ok";
    } catch (const std::exception& e) {
        return e.what();
    }
}

std::string nested(int depth, const std::string& inner) {
    return std::string(depth, '[') + inner + std::string(depth, ']');
}

TEST(StrictParse, RefusesDefectsWithTheirMessages) {
    const std::string invalid = "JSON-Dokument ist unvollstaendig oder ungueltig.";
    struct Case {
        std::string text;
        std::string expected;
    } cases[] = {
        {R"({"a":1,"a":2})", "Doppeltes JSON-Feld."},
        {R"({"a":1,"\u0061":2})", "Doppeltes JSON-Feld."},
        {R"({"a":{"a":1}})", "ok"},
        {R"([{"a":1},{"a":2}])", "ok"},
        {R"({"a":{"b":1},"b":2})", "ok"},
        {nested(80, ""), "ok"},
        {nested(81, ""), "JSON zu tief verschachtelt."},
        {nested(80, "1"), "JSON zu tief verschachtelt."},
        {nested(79, "1"), "ok"},
        {nested(100000, ""), "JSON zu tief verschachtelt."},
        {R"({"a":1} x)", invalid},
        {R"({"a":1,})", invalid},
        {R"({"a":1} // note)", invalid},
        {"", invalid},
        {"\"\xC3\x28\"", invalid},
        {"\xEF\xBB\xBF{}", "ok"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(parseOutcome(c.text), c.expected) << c.text.substr(0, 40);
}

TEST(CompactWriter, WritesKeysInOrderWithoutBlanksAndKeepsUtf8) {
    Json document = Json::object();
    document["b"] = "Größe";
    document["a"] = 1;
    EXPECT_EQ(dumpCompact(document), "{\"a\":1,\"b\":\"Größe\"}");
    Json broken = std::string("\xC3\x28");
    EXPECT_THROW(dumpCompact(broken), Json::type_error);
}

TEST(BoundedRead, AcceptsExactlyTheLimit) {
    test::ScratchFolder folder;
    test::writeBytes(folder / L"exact.json", std::string(100, 'x'));
    EXPECT_EQ(readFileBounded(folder / L"exact.json", 100).size(), 100u);
    try {
        readFileBounded(folder / L"exact.json", 99);
        FAIL() << "no exception";
    } catch (const Error& e) {
        EXPECT_EQ(std::string(e.what()), "Datei fehlt oder ist zu groß: exact.json");
    }
    // The bounded read reads one byte past its limit and no further, so a file that grew after its size
    // was looked at is refused, never returned longer.
    EXPECT_EQ(readWholeFile(folder / L"exact.json", 51).size(), 51u);
    EXPECT_THROW(readFileBounded(folder / L"missing.json", 100), Error);
    EXPECT_THROW(readFileBounded(folder.path(), 100), Error);
}

TEST(LoadJsonOr, DefaultForMissingErrorForMalformed) {
    test::ScratchFolder folder;
    EXPECT_EQ(loadJsonOr(folder / L"none.json", Json::object()), Json::object());
    EXPECT_FALSE(std::filesystem::exists(folder / L"none.json"));
    test::writeBytes(folder / L"bad.json", "{");
    EXPECT_THROW(loadJsonOr(folder / L"bad.json", nullptr), Error);
    test::writeBytes(folder / L"good.json", R"({"x":[1,2]})");
    EXPECT_EQ(loadJsonOr(folder / L"good.json", nullptr)["x"][1], 2);
}

} // namespace
} // namespace tess
