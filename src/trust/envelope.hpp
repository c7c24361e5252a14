// Signed envelopes: the only way a document that decides what is installed or run is accepted, and
// the self-test answer a freshly downloaded launcher gives to prove its trust anchor and hashing.
#pragma once

#include "foundation/json.hpp"

#include "build_config.hpp"

#include <filesystem>
#include <string>
#include <string_view>

namespace tess {

// The key set built into the program, exactly as the publisher's key set file reads.
inline const std::string_view& builtinTrustKeys = build::trustKeysText;
// The launcher's own version; the version block's fixed file version names the same release.
inline const std::string_view& launcherVersion = build::launcherVersion;

Json verifyEnvelope(std::string_view envelopeText, const Json& keySet);
// The same for a text the caller gives up: its buffer becomes the payload's.
Json verifyEnvelope(std::string&& envelopeText, const Json& keySet);
// The signed payload's bytes, checked as verifyEnvelope checks them but not parsed. The payload is
// decoded into the envelope text's own buffer, so a large envelope is never held twice.
std::string verifiedPayload(std::string&& envelopeText, const Json& keySet);
void writeSelfTestReport(const std::filesystem::path& answerPath);

} // namespace tess
