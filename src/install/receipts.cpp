#include "install/receipts.hpp"

#include "foundation/error.hpp"
#include "foundation/files.hpp"
#include "foundation/text.hpp"
#include "trust/envelope.hpp"
#include "trust/manifest.hpp"

#include <string>

namespace tess {
namespace fs = std::filesystem;

fs::path receiptPath(const fs::path& dataRoot, std::string_view releaseId) {
    return dataRoot / L"receipts" / toWide(std::string(releaseId) + ".json");
}

void writeReceipt(const Client& client, std::string_view releaseId, std::string_view rawManifest) {
    // The id becomes a file name; only the identifier form may get that far.
    require(isUuidText(releaseId), "Ungültige Release-ID.");
    writeFileDurably(receiptPath(client.dataRoot, releaseId), rawManifest);
}

namespace {

std::string readReceipt(const Client& client, std::string_view releaseId) {
    require(isUuidText(releaseId), "Ungültige Release-ID.");
    return readFileBounded(receiptPath(client.dataRoot, releaseId), maxDocumentBytes);
}

// What a validated manifest must be to prove this installed release.
void requireInstalledRelease(const Json& manifest, std::string_view releaseId) {
    require(!manifest.value("testOnly", false), "Testpaket ist nicht produktiv verwendbar.");
    require(manifest.at("releaseId") == Json(std::string(releaseId)), "Installationsnachweis passt nicht.");
}

} // namespace

Json loadReceipt(const Client& client, std::string_view releaseId) {
    Json manifest = verifyEnvelope(readReceipt(client, releaseId), client.trustKeys);
    validateManifest(manifest);
    requireInstalledRelease(manifest, releaseId);
    return manifest;
}

CompactManifest loadCompactReceipt(const Client& client, std::string_view releaseId) {
    CompactManifest manifest =
        readCompactManifest(verifiedPayload(readReceipt(client, releaseId), client.trustKeys));
    requireInstalledRelease(manifest.members(), releaseId);
    return manifest;
}

} // namespace tess
