// The signed description of the launcher's own setup executable.
#pragma once

#include "foundation/json.hpp"

namespace tess {

void validateLauncherRelease(const Json& release);

} // namespace tess
