// The request of a signed download (a release archive or the launcher file) and the statuses every way
// of fetching it treats alike: a first 401 renews the token once; 403, 410, 429 and the rest end in the
// download's own messages. Nothing here reads the body.
#pragma once

#include "portal/http.hpp"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace tess {

// GET apiPath with the extra headers, on a connection of its own or on `shared`; on a first 401 the
// token is renewed (and replaced) and the request is made once more. The answer's status is left in
// `status` for the caller to judge.
PortalRequest openDownloadRequest(const std::string& apiPath, std::wstring_view extraHeaders,
                                  std::string& token, const std::function<std::string()>& renew,
                                  std::int32_t& status, const PortalConnection* shared = nullptr);

// Throws the message of a status that ends a download (a second 401 among "the rest").
[[noreturn]] void refuseDownloadStatus(std::int32_t status);

} // namespace tess
