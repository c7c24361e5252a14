// Installation receipts: the signed release manifest of every installed version, byte for byte as the
// portal delivered it, so the version can be proven again later without network access.
#pragma once

#include "client/client.hpp"
#include "foundation/json.hpp"
#include "trust/compact_manifest.hpp"

#include <filesystem>
#include <string_view>

namespace tess {

std::filesystem::path receiptPath(const std::filesystem::path& dataRoot, std::string_view releaseId);

// Replaces the receipt of releaseId with the raw manifest answer (a signed envelope).
void writeReceipt(const Client& client, std::string_view releaseId, std::string_view rawManifest);

// The validated package manifest proven by the receipt; throws when it is missing, altered, signed
// outside the built-in keys, a test package or another release's.
Json loadReceipt(const Client& client, std::string_view releaseId);
// The same proof, the manifest kept in compact form (for starting and switching a version).
CompactManifest loadCompactReceipt(const Client& client, std::string_view releaseId);

} // namespace tess
