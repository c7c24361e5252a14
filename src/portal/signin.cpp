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

#include <algorithm>
#include <map>
#include <optional>
#include <vector>

namespace tess {
namespace {

constexpr std::string_view browserAnswer =
    "HTTP/1.1 200 OK\r\nContent-Type: text/plain; charset=utf-8\r\nCache-Control: no-store\r\n"
    "Connection: close\r\n\r\nAnmeldung verarbeitet. Du kannst dieses Fenster schliessen und zu TESSARO "
    "zurueckkehren.";
static_assert(browserAnswer.size() == 192);

constexpr std::string_view callbackPrefix = "GET /callback?";
constexpr size_t maxRequestBytes = 16384;

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// A "%" and two hexadecimal digits is a byte, "+" a space; nothing for a broken escape.
std::optional<std::string> decodeForm(std::string_view text) {
    std::string decoded;
    decoded.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            decoded += ' ';
        } else if (text[i] == '%') {
            if (i + 2 >= text.size())
                return std::nullopt;
            const int high = hexValue(text[i + 1]);
            const int low = hexValue(text[i + 2]);
            if (high < 0 || low < 0)
                return std::nullopt;
            decoded += static_cast<char>(high * 16 + low);
            i += 2;
        } else {
            decoded += text[i];
        }
    }
    return decoded;
}

// Milliseconds left until a point on the tick clock, zero once it has passed.
std::uint64_t remainingMs(std::uint64_t end) {
    const std::uint64_t now = ::GetTickCount64();
    return end > now ? end - now : 0;
}

// Waits up to timeoutMs for the socket to become readable; false on time-out or a failed wait.
bool awaitReadable(const Socket& socket, std::uint64_t timeoutMs) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(socket.get(), &readable);
    timeval wait{static_cast<long>(timeoutMs / 1000), static_cast<long>(timeoutMs % 1000 * 1000)};
    return ::select(0, &readable, nullptr, nullptr, &wait) > 0;
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

// Empty when the client closed the connection, sent nothing for two seconds, or did not deliver its
// request before its own ten seconds or the sign-in's time ran out. The cancel flag is looked at at least
// once a second while a read waits.
std::string receiveRequest(const Socket& connection, std::uint64_t signInEnd, Progress& progress) {
    const std::uint64_t end = std::min(::GetTickCount64() + signInConnectionLimitMs, signInEnd);
    std::uint64_t readEnd = std::min(::GetTickCount64() + signInReceiveTimeoutMs, end);
    std::string request;
    char piece[4096];
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < maxRequestBytes) {
        require(!progress.cancelled.load(), "Anmeldung abgebrochen.");
        const std::uint64_t left = remainingMs(readEnd);
        if (left == 0)
            return {};
        if (!awaitReadable(connection, std::min<std::uint64_t>(left, signInCycleMs)))
            continue;
        const int received = ::recv(connection.get(), piece, sizeof piece, 0);
        if (received <= 0)
            return {};
        request.append(piece, static_cast<size_t>(received));
        readEnd = std::min(::GetTickCount64() + signInReceiveTimeoutMs, end);
    }
    return request;
}

// The name=value pieces of a query, undecoded; pieces without "=" carry nothing.
std::vector<std::pair<std::string_view, std::string_view>> queryPieces(std::string_view query) {
    std::vector<std::pair<std::string_view, std::string_view>> pieces;
    size_t start = 0;
    while (start <= query.size()) {
        size_t end = query.find('&', start);
        if (end == std::string_view::npos)
            end = query.size();
        const std::string_view piece = query.substr(start, end - start);
        const size_t equals = piece.find('=');
        if (equals != std::string_view::npos)
            pieces.emplace_back(piece.substr(0, equals), piece.substr(equals + 1));
        start = end + 1;
    }
    return pieces;
}

// Whether the query is this sign-in's answer: exactly one "state", decoding cleanly to ours. Whatever
// else is wrong with a request that fails this is no business of this sign-in.
bool carriesState(std::string_view query, const std::string& state) {
    int states = 0;
    bool matches = false;
    for (const auto& [name, value] : queryPieces(query)) {
        if (decodeForm(name) != "state")
            continue;
        ++states;
        matches = decodeForm(value) == state;
    }
    return states == 1 && matches;
}

// The decoded members of a callback query; a repeated name or a broken escape ends the sign-in.
std::map<std::string, std::string> callbackQuery(std::string_view query) {
    std::map<std::string, std::string> members;
    for (const auto& [name, value] : queryPieces(query))
        if (!members.emplace(formDecode(name), formDecode(value)).second)
            throw Error("Doppelte Browserantwort.");
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

// Waits until a callback with this sign-in's state arrives. Requests for other paths (the browser's
// icon request, a reload) and foreign states are dropped without an answer.
std::string awaitCode(const Socket& listener, const std::string& state, Progress& progress,
                      Socket& connection) {
    const std::uint64_t end = ::GetTickCount64() + build::waits().signInMs;
    for (std::uint64_t left; (left = remainingMs(end)) > 0;) {
        require(!progress.cancelled.load(), "Anmeldung abgebrochen.");
        if (!awaitReadable(listener, std::min<std::uint64_t>(left, signInCycleMs)))
            continue;
        connection.reset(::accept(listener.get(), nullptr, nullptr));
        if (!connection)
            continue;
        const std::string request = receiveRequest(connection, end, progress);
        const size_t version = request.find(" HTTP/1.");
        if (request.size() <= 13 || request.compare(0, callbackPrefix.size(), callbackPrefix) != 0 ||
            version == std::string::npos) {
            connection.reset();
            continue;
        }
        const std::string_view query =
            std::string_view(request).substr(callbackPrefix.size(), version - callbackPrefix.size());
        if (!carriesState(query, state)) {
            connection.reset();
            continue;
        }
        const auto members = callbackQuery(query);
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
    std::optional<std::string> decoded = decodeForm(text);
    require(decoded.has_value(), "Ungültige Browserantwort.");
    return *std::move(decoded);
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
