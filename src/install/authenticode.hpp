// The only place that asks Windows about code signatures: a valid Authenticode signature whose signer
// is the publisher built into the program. Answers; never throws for a bad signature.
#pragma once

#include <filesystem>

namespace tess {

// offline: revocation is not fetched from the network (start, switch and recovery must work without it).
[[nodiscard]] bool verifyPublisherSignature(const std::filesystem::path& file, bool offline);

} // namespace tess
