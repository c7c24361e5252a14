// Resumable download of one file whose size and SHA-256 come from a signed document. Bytes that do
// not belong to that file are never written, and the file is accepted only when size and hash match.
#pragma once

#include "foundation/json.hpp"
#include "foundation/progress.hpp"
#include "portal/http.hpp"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

namespace tess {

inline constexpr std::uint32_t downloadBufferBytes = 1048576; // 1 MiB

// Reads the next piece of an open answer (WinHttpReadData's contract: false on failure, 0 bytes at
// the end). WinHTTP never hands out more than Content-Length, so tests put a dishonest one here.
using BodyReader =
    std::function<bool(const PortalRequest&, char* buffer, std::uint32_t capacity, std::uint32_t& read)>;
bool readWinHttpBody(const PortalRequest& request, char* buffer, std::uint32_t capacity, std::uint32_t& read);

// artifact: {"size", "sha256"}. token is replaced when renew is called after a 401.
void downloadArtifact(const std::string& apiPath, const std::filesystem::path& partialPath,
                      const Json& artifact, std::string& token, const std::function<std::string()>& renew,
                      Progress& progress, const BodyReader& read = readWinHttpBody);

} // namespace tess
