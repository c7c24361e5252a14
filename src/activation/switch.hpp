// Making an installed version the active one: the running application's consent, then the version's
// files, preflight and compatibility, then the state change; the new version's first start decides.
#pragma once

#include "client/client.hpp"
#include "foundation/json.hpp"

#include <cstdint>
#include <string>

namespace tess {

// manifest: the package manifest of the installed target. parentProcessId and desktopPipeName are the
// running application's hand-over (0 and empty when there is none); both are cleared as soon as that
// application has approved and exited, so a later failure does not send every retry to a process that
// is gone. Returns after the new version confirmed its start.
void switchTo(Client& client, const Json& manifest, std::uint32_t& parentProcessId,
              std::string& desktopPipeName);

} // namespace tess
