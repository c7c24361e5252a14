#include "portal/signin.hpp"

#include "build_config.hpp"
#include "client/client.hpp"
#include "foundation/crypto.hpp"
#include "foundation/error.hpp"
#include "foundation/handles.hpp"
#include "foundation/text.hpp"
#include "portal/credentials.hpp"
#include "portal/http.hpp"

#include <shellapi.h>
#include <ws2tcpip.h>

#include <map>

namespace tess {
namespace {

constexpr std::string_view browserAnswer =
    "HTTP/1.1 200 OK\r\nContent-Type: text/plain; charset=utf-8\r\nCache-Control: no-store\r\n"
    "Connection: close\r\n\r\nAnmeldung verarbeitet. Du kannst dieses Fenster schliessen und zu TESSARO "
    "zurueckkehren.";
static_assert(browserAnswer.size() == 192);

constexpr std::string_view callbackPrefix = "GET /callback?";
constexpr size_t maxRequestBytes = 16384;
constexpr DWORD receiveTimeoutMs = 2000;

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

void report(Progress& progress, const std::string& text) {
    if (progress.report)
        progress.report(text, 0, 0);
}

Socket openListener() {
    Socket listener(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    require(listener.valid(), "Browseranmeldung nicht verfügbar.");
    // Exclusive use keeps a second launcher (or anything else) from sharing the port and
    // receiving the code meant for this sign-in.
    BOOL exclusive = TRUE;
    ::setsockopt(listener.get(), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
                 sizeof exclusive);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = ::htons(signInPort);
    address.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
    require(::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
                ::listen(listener.get(), 1) == 0,
            "Anmeldung läuft bereits oder Port 43872 ist belegt.");
    return listener;
}

std::string authorizeAddress(const std::string& state, const std::string& challenge) {
    return std::string(build::portalBaseAddress) +
           "/connect/authorize?client_id=" + std::string(oauthClientId) +
           "&response_type=code&scope=" + percentEncode(signInScope) +
           "&redirect_uri=" + percentEncode(signInRedirectAddress) + "&state=" + percentEncode(state) +
           "&code_challenge_method=S256&code_challenge=" + percentEncode(challenge);
}

void openBrowser(const std::string& address) {
    const HINSTANCE result =
        ::ShellExecuteW(nullptr, L"open", toWide(address).c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    require(reinterpret_cast<INT_PTR>(result) > 32, "Standardbrowser konnte nicht geöffnet werden.");
}

// Empty when the browser closed the connection or said nothing in time.
std::string receiveRequest(const Socket& connection) {
    std::string request;
    char piece[4096];
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < maxRequestBytes) {
        const int received = ::recv(connection.get(), piece, sizeof piece, 0);
        if (received <= 0)
            return {};
        request.append(piece, static_cast<size_t>(received));
    }
    return request;
}

// The decoded members of a callback query; a repeated name or a broken escape ends the sign-in.
std::map<std::string, std::string> callbackQuery(std::string_view query) {
    std::map<std::string, std::string> members;
    size_t start = 0;
    while (start <= query.size()) {
        size_t end = query.find('&', start);
        if (end == std::string_view::npos)
            end = query.size();
        const std::string_view piece = query.substr(start, end - start);
        const size_t equals = piece.find('=');
        if (equals != std::string_view::npos &&
            !members.emplace(formDecode(piece.substr(0, equals)), formDecode(piece.substr(equals + 1)))
                 .second)
            throw Error("Doppelte Browserantwort.");
        start = end + 1;
    }
    return members;
}

void sendAnswer(const Socket& connection) {
    size_t sent = 0;
    while (sent < browserAnswer.size()) {
        const int result = ::send(connection.get(), browserAnswer.data() + sent,
                                  static_cast<int>(browserAnswer.size() - sent), 0);
        if (result <= 0)
            return; // the browser went away; the code it brought is still good
        sent += static_cast<size_t>(result);
    }
}

// Runs the waiting cycles until a callback with this sign-in's state arrives. Requests for other
// paths (the browser's icon request, a reload) and foreign states are dropped without an answer.
std::string awaitCode(const Socket& listener, const std::string& state, Progress& progress,
                      Socket& connection) {
    for (std::uint32_t cycle = 0; cycle < build::waits().signInMs / 1000; ++cycle) {
        require(!progress.cancelled.load(), "Anmeldung abgebrochen.");
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(listener.get(), &readable);
        timeval oneSecond{1, 0};
        if (::select(0, &readable, nullptr, nullptr, &oneSecond) <= 0)
            continue;
        connection.reset(::accept(listener.get(), nullptr, nullptr));
        if (!connection)
            continue;
        const DWORD timeout = receiveTimeoutMs;
        ::setsockopt(connection.get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
                     sizeof timeout);
        const std::string request = receiveRequest(connection);
        const size_t version = request.find(" HTTP/1.");
        if (request.size() <= 13 || request.compare(0, callbackPrefix.size(), callbackPrefix) != 0 ||
            version == std::string::npos) {
            connection.reset();
            continue;
        }
        const auto members = callbackQuery(
            std::string_view(request).substr(callbackPrefix.size(), version - callbackPrefix.size()));
        const auto received = members.find("state");
        if (received == members.end() || received->second != state) {
            connection.reset();
            continue;
        }
        const auto code = members.find("code");
        sendAnswer(connection);
        require(code != members.end() && !code->second.empty(), "Anmeldung wurde abgebrochen.");
        return code->second;
    }
    throw Error("Anmeldung ist abgelaufen. Bitte erneut versuchen.");
}

std::string codeChallenge(const std::string& verifier) {
    Sha256 hash;
    hash.update(verifier.data(), static_cast<std::uint32_t>(verifier.size()));
    const auto digest = hash.finish();
    return base64Encode(std::string_view(reinterpret_cast<const char*>(digest.data()), digest.size()), true);
}

} // namespace

std::string percentEncode(std::string_view text) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string encoded;
    encoded.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') || (byte >= '0' && byte <= '9') ||
            byte == '-' || byte == '.' || byte == '_' || byte == '~') {
            encoded += c;
        } else {
            encoded += '%';
            encoded += digits[byte >> 4];
            encoded += digits[byte & 0x0F];
        }
    }
    return encoded;
}

std::string formDecode(std::string_view text) {
    std::string decoded;
    decoded.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            decoded += ' ';
        } else if (text[i] == '%') {
            require(i + 2 < text.size(), "Ungültige Browserantwort.");
            const int high = hexValue(text[i + 1]);
            const int low = hexValue(text[i + 2]);
            require(high >= 0 && low >= 0, "Ungültige Browserantwort.");
            decoded += static_cast<char>(high * 16 + low);
            i += 2;
        } else {
            decoded += text[i];
        }
    }
    return decoded;
}

void Client::signInWithBrowser() {
    report(progress, "Anmeldung im Standardbrowser …");
    WSADATA winsock;
    require(::WSAStartup(MAKEWORD(2, 2), &winsock) == 0, "Browseranmeldung nicht verfügbar.");
    const Socket listener = openListener();

    const std::string verifier = base64Encode(randomBytes(48), true);
    const std::string state = base64Encode(randomBytes(32), true);
    openBrowser(authorizeAddress(state, codeChallenge(verifier)));

    Socket connection;
    const std::string code = awaitCode(listener, state, progress, connection);
    const std::string body = "grant_type=authorization_code&client_id=" + std::string(oauthClientId) +
                             "&redirect_uri=" + percentEncode(signInRedirectAddress) +
                             "&code=" + percentEncode(code) + "&code_verifier=" + percentEncode(verifier);
    acceptTokenResponse(fetchPortal(tokenPath, {}, body));
    report(progress, "Bei CORVALIS angemeldet.");
}

} // namespace tess
