// The package manifest of a release: every bound, hash form and path rule, and the publisher-
// signature policy it shares with the launcher release.
#pragma once

#include "foundation/json.hpp"

#include <string_view>

namespace tess {

void validateManifest(const Json& manifest);
bool authenticodeRequired(const Json& document);
bool isUuidText(std::string_view text);

} // namespace tess
