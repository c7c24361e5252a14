// Catalog retrieval (Client::loadCatalog): fetches and checks the signed catalog of one channel and
// keeps catalog-state.json moving forward only, so the portal can never hand out an older catalog
// or silently change one under a generation that was already accepted.
#pragma once

#include "foundation/state_document.hpp"

#include <filesystem>
#include <string>

namespace tess {

std::filesystem::path catalogStatePath(const std::filesystem::path& dataRoot);
// catalog-state.json with the generation and hash of both channels; see readStateDocument.
StateDocument readCatalogState(const std::filesystem::path& dataRoot);
// The signed catalog exactly as it was accepted: "{channel}-catalog.json".
std::filesystem::path cachedCatalogPath(const std::filesystem::path& dataRoot, const std::string& channel);

} // namespace tess
