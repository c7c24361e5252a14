// The exit handshake with a running application that asked for a switch: it must agree over its own
// pipe and then end by itself. The application is never terminated from here.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace tess {

// Returns once the application (the pipe's server, of this user) approved and exited; throws otherwise.
void awaitApplicationExit(std::uint32_t parentProcessId, const std::string& desktopPipeName,
                          const std::string& releaseId, const std::atomic<bool>& cancelled);

} // namespace tess
