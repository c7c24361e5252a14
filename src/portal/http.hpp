// The one way to talk to the portal: a synchronous HTTPS request over WinHTTP to the compiled-in
// base address, with fixed time-outs, no redirects and no content encoding. Nothing is cached or
// retried here, and no answer larger than maxResponseBytes is ever held in memory.
#pragma once

#include "foundation/handles.hpp"

#include <cstdint>
#include <string>
#include <string_view>

namespace tess {

inline constexpr std::uint64_t maxResponseBytes = 20971520; // 20 MiB

// Session, connection and request of one call; members are destroyed in reverse order, so the
// request is closed before its connection and the connection before its session.
struct PortalRequest {
    WinHttpHandle session;
    WinHttpHandle connection;
    WinHttpHandle request;
};

// A session and connection that several requests share, so that they travel over one kept-alive TLS
// connection (the many small requests of a fetch by range). Closed connection first, then session.
struct PortalConnection {
    WinHttpHandle session;
    WinHttpHandle connection;
};

struct PortalResponse {
    std::int32_t status = 0;
    std::string body;
    std::string etag;
};

std::wstring portalUserAgent();

// Sends the request and returns once the response headers are in; the body is left to the caller.
// A non-empty formBody makes a POST with the form content type; extraHeaders end each line in CRLF.
PortalRequest openPortalRequest(std::string_view path, std::string_view bearerToken,
                                std::string_view formBody, std::wstring_view extraHeaders);
// The same request on a shared connection; the request returned owns only its request handle.
PortalConnection openPortalConnection();
PortalRequest openPortalRequest(const PortalConnection& connection, std::string_view path,
                                std::string_view bearerToken, std::string_view formBody,
                                std::wstring_view extraHeaders);
[[nodiscard]] std::int32_t queryStatus(const PortalRequest& request);
// Empty text when the header is absent.
[[nodiscard]] std::string queryHeader(const PortalRequest& request, DWORD headerId);
// Reads a whole answer of at most maxResponseBytes; the status is the caller's to judge.
PortalResponse fetchPortal(std::string_view path, std::string_view bearerToken, std::string_view formBody);

} // namespace tess
