#include "portal/http.hpp"

#include "foundation/error.hpp"
#include "foundation/text.hpp"
#include "trust/envelope.hpp"

#include "build_config.hpp"

#include <vector>

namespace tess {
namespace {

void checkPath(std::string_view path) {
    require(!path.empty() && path.front() == '/' && path.substr(0, 2) != "//" &&
                path.find_first_of("\r\n") == std::string_view::npos,
            "Ungültiger API-Pfad.");
}

struct PortalAddress {
    std::wstring host;
    INTERNET_PORT port;
};

PortalAddress crackBaseAddress() {
    const std::wstring address = toWide(build::portalBaseAddress);
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    require(::WinHttpCrackUrl(address.c_str(), static_cast<DWORD>(address.size()), 0, &parts),
            "Portaladresse ungültig.");
    require(parts.nScheme == INTERNET_SCHEME_HTTPS, "Softwaredownloads benötigen HTTPS.");
    return {std::wstring(parts.lpszHostName, parts.dwHostNameLength), parts.nPort};
}

std::wstring requestHeaders(std::wstring_view extraHeaders, std::string_view bearerToken, bool form) {
    std::wstring headers(extraHeaders);
    if (!bearerToken.empty()) {
        require(bearerToken.find_first_of("\r\n") == std::string_view::npos, "Token ungültig.");
        headers += L"Authorization: Bearer " + toWide(bearerToken) + L"\r\n";
    }
    if (form)
        headers += L"Content-Type: application/x-www-form-urlencoded\r\n";
    headers += L"Accept-Encoding: identity\r\n";
    return headers;
}

} // namespace

std::wstring portalUserAgent() {
    return L"TESSARO-Installer/" + toWide(launcherVersion);
}

PortalConnection openPortalConnection() {
    const PortalAddress address = crackBaseAddress();
    PortalConnection http;
    http.session.reset(::WinHttpOpen(portalUserAgent().c_str(), WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                                     WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    require(http.session.valid(), "HTTP nicht verfügbar.");
    ::WinHttpSetTimeouts(http.session.get(), 15000, 15000, 30000, 30000);
    http.connection.reset(::WinHttpConnect(http.session.get(), address.host.c_str(), address.port, 0));
    require(http.connection.valid(), "Portal nicht erreichbar.");
    return http;
}

PortalRequest openPortalRequest(const PortalConnection& connection, std::string_view path,
                                std::string_view bearerToken, std::string_view formBody,
                                std::wstring_view extraHeaders) {
    checkPath(path);
    PortalRequest http;
    const bool form = !formBody.empty();
    http.request.reset(::WinHttpOpenRequest(connection.connection.get(), form ? L"POST" : L"GET",
                                            toWide(path).c_str(), nullptr, WINHTTP_NO_REFERER,
                                            WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE));
    require(http.request.valid(), "HTTP-Anfrage fehlgeschlagen.");
    DWORD never = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
    require(::WinHttpSetOption(http.request.get(), WINHTTP_OPTION_REDIRECT_POLICY, &never, sizeof never),
            "HTTP-Richtlinie fehlt.");

    const std::wstring headers = requestHeaders(extraHeaders, bearerToken, form);
    const auto bodyLength = static_cast<DWORD>(formBody.size());
    void* body = form ? const_cast<char*>(formBody.data()) : WINHTTP_NO_REQUEST_DATA;
    const bool sent =
        ::WinHttpSendRequest(http.request.get(), headers.c_str(), static_cast<DWORD>(headers.size()), body,
                             bodyLength, bodyLength, 0) &&
        ::WinHttpReceiveResponse(http.request.get(), nullptr);
    require(sent,
            "Portal nicht erreichbar. Verbindung und Proxy prüfen; vorhandene Installation bleibt nutzbar.");
    return http;
}

PortalRequest openPortalRequest(std::string_view path, std::string_view bearerToken,
                                std::string_view formBody, std::wstring_view extraHeaders) {
    checkPath(path);
    PortalConnection connection = openPortalConnection();
    PortalRequest http = openPortalRequest(connection, path, bearerToken, formBody, extraHeaders);
    http.session = std::move(connection.session);
    http.connection = std::move(connection.connection);
    return http;
}

std::int32_t queryStatus(const PortalRequest& request) {
    DWORD status = 0;
    DWORD size = sizeof status;
    require(::WinHttpQueryHeaders(request.request.get(),
                                  WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                  WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX),
            "HTTP-Status fehlt.");
    return static_cast<std::int32_t>(status);
}

std::string queryHeader(const PortalRequest& request, DWORD headerId) {
    DWORD bytes = 0;
    if (!::WinHttpQueryHeaders(request.request.get(), headerId, WINHTTP_HEADER_NAME_BY_INDEX,
                               WINHTTP_NO_OUTPUT_BUFFER, &bytes, WINHTTP_NO_HEADER_INDEX) &&
        ::GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return {};
    std::wstring value(bytes / sizeof(wchar_t) + 1, L'\0');
    DWORD capacity = static_cast<DWORD>(value.size() * sizeof(wchar_t));
    require(::WinHttpQueryHeaders(request.request.get(), headerId, WINHTTP_HEADER_NAME_BY_INDEX, value.data(),
                                  &capacity, WINHTTP_NO_HEADER_INDEX),
            "HTTP-Header fehlt.");
    value.resize(capacity / sizeof(wchar_t));
    while (!value.empty() && value.back() == L'\0')
        value.pop_back();
    return toUtf8(value);
}

PortalResponse fetchPortal(std::string_view path, std::string_view bearerToken, std::string_view formBody) {
    PortalRequest request = openPortalRequest(path, bearerToken, formBody, {});
    PortalResponse response;
    response.status = queryStatus(request);
    response.etag = queryHeader(request, WINHTTP_QUERY_ETAG);

    std::vector<char> piece(65536);
    for (;;) {
        DWORD read = 0;
        require(
            ::WinHttpReadData(request.request.get(), piece.data(), static_cast<DWORD>(piece.size()), &read),
            "HTTP-Übertragung unterbrochen.");
        if (read == 0)
            break;
        require(response.body.size() + read <= maxResponseBytes, "Serverantwort zu groß.");
        response.body.append(piece.data(), read);
    }
    return response;
}

} // namespace tess
