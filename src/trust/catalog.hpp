// The software catalog of one channel: product, platform, generation, validity window and the
// well-formedness of its release list, and the one strict UTC date form of signed documents.
#pragma once

#include "foundation/json.hpp"

#include <cstdint>
#include <string>

namespace tess {

void validateCatalog(const Json& catalog, const std::string& channel, std::int64_t lastGeneration,
                     std::int64_t now);
std::int64_t parseUtcTimestamp(const Json& value);

} // namespace tess
