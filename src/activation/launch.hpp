// Starting the selected version until it confirms its start, returning to the previous version after
// a failed first start when the profile allows it, and removing stale download and staging leftovers.
// The application is never waited for beyond its confirmation and never terminated.
#pragma once

#include "client/client.hpp"
#include "foundation/state_document.hpp"

#include <cstdint>

namespace tess {

// True when an "appTESSARO.exe" of this user runs (other than the ignored id, 0 ignores none), and
// also when the process list cannot be read.
[[nodiscard]] bool isApplicationRunning(std::uint32_t ignoredProcessId);

// current.json with the members the launch, the switch and the version list look up; see
// readStateDocument.
StateDocument readCurrentDocument(const Client& client);

// Starts current.json's active version and returns after its confirmed start; a start whose process
// has already died triggers the recovery first, whose own failure is only reported.
void launchActive(Client& client);

// After a start that was not confirmed: back to the previous version when the switch and the previous
// version's preflight allow it; otherwise the housekeeping when nothing is pending. A damaged current.json
// or journal.json is reported, not thrown: the user's way back is a new switch.
void recoverAfterFailedStart(Client& client);

// Removes partial downloads and staging folders not written for more than 72 hours; refuses (before
// removing anything of it) an entry that holds a link.
void removeStaleLeftovers(const Client& client);

} // namespace tess
