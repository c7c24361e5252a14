#include "foundation/crypto.hpp"
#include "foundation/error.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace tess {
namespace {

TEST(Sha256, PublishedVectorsAndEmptyMessage) {
    EXPECT_EQ(sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

TEST(Sha256File, ReportsEachBlockAndMatchesTheByteHash) {
    test::ScratchFolder folder;
    std::string content(65537, '\0');
    for (size_t i = 0; i < content.size(); ++i)
        content[i] = static_cast<char>(i * 7);
    test::writeBytes(folder / L"data.bin", content);
    std::vector<std::uint64_t> calls;
    std::string hash =
        sha256FileHex(folder / L"data.bin", nullptr, [&](std::uint64_t done) { calls.push_back(done); });
    EXPECT_EQ(hash, sha256Hex(content));
    EXPECT_EQ(calls, (std::vector<std::uint64_t>{65536, 65537}));

    test::writeBytes(folder / L"empty.bin", "");
    calls.clear();
    EXPECT_EQ(
        sha256FileHex(folder / L"empty.bin", nullptr, [&](std::uint64_t done) { calls.push_back(done); }),
        sha256Hex(""));
    EXPECT_TRUE(calls.empty());
}

TEST(Sha256File, CancelBeforeOpeningAndMissingFile) {
    std::atomic<bool> cancelled{true};
    try {
        sha256FileHex(L"C:\\does-not-exist.bin", &cancelled, {});
        FAIL() << "no exception";
    } catch (const Error& e) {
        EXPECT_EQ(std::string(e.what()), "Abgebrochen. Vorhandene Installation bleibt erhalten.");
    }
    try {
        sha256FileHex(L"C:\\does-not-exist.bin", nullptr, {});
        FAIL() << "no exception";
    } catch (const Error& e) {
        EXPECT_EQ(std::string(e.what()), "Datei nicht lesbar.");
    }
}

TEST(Base64, EncodesStandardAndUrlSafe) {
    EXPECT_EQ(base64Encode("\xFB\xFF", false), "+/8=");
    EXPECT_EQ(base64Encode("\xFB\xFF", true), "-_8");
    EXPECT_EQ(base64Encode("", false), "");
    EXPECT_EQ(base64Encode(std::string(100, 'x'), false).find('\n'), std::string::npos);
}

TEST(Base64, DecodesOnlyStrictStandardText) {
    struct Case {
        std::string text;
        const char* expected; // nullptr: refused
    } cases[] = {
        {"+/8=", "\xFB\xFF"}, {"YWJj", "abc"},   {"YQ==", "a"},     {"-_8=", nullptr}, {"YW Jj", nullptr},
        {"YWJ", nullptr},     {"Y===", nullptr}, {"=YWJ", nullptr}, {"YQ=a", nullptr}, {"YWJj\n", nullptr},
    };
    for (const auto& c : cases) {
        if (c.expected) {
            EXPECT_EQ(base64Decode(c.text), c.expected) << c.text;
        } else {
            try {
                base64Decode(c.text);
                ADD_FAILURE() << "accepted: " << c.text;
            } catch (const Error& e) {
                EXPECT_EQ(std::string(e.what()), "Ungültiges Base64.") << c.text;
            }
        }
    }
    try {
        base64Decode(std::string(33554436, 'A'));
        ADD_FAILURE() << "accepted oversized text";
    } catch (const Error& e) {
        EXPECT_EQ(std::string(e.what()), "Base64 zu groß.");
    }
}

// Decoded block by block over the front of its own buffer: the same bytes as a whole decode, wherever
// the text starts in the buffer and wherever a block or the padding ends.
TEST(Base64, DecodesInPlaceAsAWholeDecodeDoes) {
    const std::string prefix = "{\"payload\":\"";
    for (size_t length : {1, 49151, 49152, 49153, 100000}) {
        const std::string bytes = randomBytes(length);
        const std::string text = base64Encode(bytes, false);
        for (size_t offset : {size_t{0}, prefix.size()}) {
            std::string buffer = prefix.substr(0, offset) + text + "\"}";
            base64DecodeInPlace(buffer, offset, text.size());
            EXPECT_EQ(buffer, bytes) << length << " bytes at " << offset;
        }
    }
    std::string damaged = base64Encode(std::string(50000, 'x'), false);
    damaged[65540] = '-';
    try {
        base64DecodeInPlace(damaged, 0, damaged.size());
        ADD_FAILURE() << "accepted a character outside the alphabet in the second block";
    } catch (const Error& e) {
        EXPECT_EQ(std::string(e.what()), "Ungültiges Base64.");
    }
}

TEST(Randomness, IdentifiersAreFreshLowerHex) {
    std::string a = randomId();
    EXPECT_EQ(a.size(), 32u);
    EXPECT_EQ(a.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_NE(a, randomId());
    EXPECT_TRUE(randomBytes(0).empty());
    EXPECT_EQ(randomBytes(17).size(), 17u);
}

} // namespace
} // namespace tess
