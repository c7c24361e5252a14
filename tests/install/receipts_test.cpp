#include "install/receipts.hpp"
#include "package_fixtures.hpp"

#include <gtest/gtest.h>

namespace tess {
namespace {
namespace fs = std::filesystem;
using test::failureOf;

std::string fixture(const wchar_t* relative) {
    return test::readBytes(test::installFixtures() / relative);
}

// The envelope with one character of its payload changed (still valid Base64).
std::string withPayloadByteChanged(std::string envelope) {
    size_t at = envelope.find("\"payload\":\"") + 40;
    envelope[at] = envelope[at] == 'A' ? 'B' : 'A';
    return envelope;
}

TEST(Receipts, LoadProvesTheInstalledReleaseAgain) {
    test::ScratchFolder scratch;
    Client client;
    client.dataRoot = scratch.path();
    const std::string valid = fixture(L"hostile\\valid.manifest.json");
    const Json manifest = test::signedManifest(test::installFixtures() / L"hostile\\valid.manifest.json");
    const std::string id = manifest.at("releaseId");
    const std::string otherId =
        test::signedManifest(test::installFixtures() / L"hostile\\zip-slip.manifest.json").at("releaseId");

    writeReceipt(client, id, valid);
    EXPECT_EQ(test::readBytes(receiptPath(client.dataRoot, id)), valid) << "a receipt is the raw answer";
    EXPECT_EQ(loadReceipt(client, id), manifest);

    struct Case {
        const char* name;
        std::string receiptId;
        std::string bytes;
        std::string loadId;
        std::string expected;
    } cases[] = {
        {"copied under another release's name", otherId, valid, otherId,
         "Installationsnachweis passt nicht."},
        {"one changed byte in the payload", id, withPayloadByteChanged(valid), id,
         "Digitale Signatur stimmt nicht. Download verworfen."},
        {"test package", id, fixture(L"receipts\\test-only.manifest.json"), id,
         "Testpaket ist nicht produktiv verwendbar."},
        {"not a release id", id, valid, "../" + id, "Ungültige Release-ID."},
        {"no receipt", id, valid, "00000000-0000-0000-0000-000000000000",
         "Datei fehlt oder ist zu groß: 00000000-0000-0000-0000-000000000000.json"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        writeReceipt(client, c.receiptId, c.bytes);
        EXPECT_EQ(failureOf([&] { loadReceipt(client, c.loadId); }), c.expected);
    }
    EXPECT_EQ(failureOf([&] { writeReceipt(client, "..\\current", valid); }), "Ungültige Release-ID.");
    EXPECT_FALSE(fs::exists(scratch / L"current.json"));
}

} // namespace
} // namespace tess
