// Trust in launcher executables: a file is a launcher only when it matches a signed launcher release,
// and the installed launcher's release is kept beside it as launcher-receipt.json.
#pragma once

#include "foundation/json.hpp"

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace tess {

// The verified launcher release document; throws on any mismatch of envelope, size, hash or signature.
Json verifyLauncherFile(const std::filesystem::path& executable, std::string_view envelopeText,
                        const Json& keySet, bool offline);

// The envelope that matches the running executable: the receipt in installRoot, or else the first of
// copyReceipts (receipts of copies of this launcher kept elsewhere), that still describes this file;
// otherwise the portal's current launcher release.
std::string currentLauncherRelease(const std::filesystem::path& installRoot,
                                   const std::filesystem::path& executable,
                                   const std::vector<std::filesystem::path>& copyReceipts = {});

// The key set built into the program, parsed afresh for the callers that hold no client.
Json builtinKeySet();

std::filesystem::path launcherReceiptPath(const std::filesystem::path& installRoot);

} // namespace tess
