#include "portal/credentials.hpp"

#include "client/client.hpp"
#include "foundation/disk.hpp"
#include "foundation/error.hpp"
#include "foundation/files.hpp"
#include "foundation/paths.hpp"
#include "portal/http.hpp"
#include "portal/signin.hpp"

#include <wincrypt.h>

#include <ctime>

namespace tess {
namespace {

constexpr const char* unusableMessage =
    "Gespeicherte Anmeldung ist mit diesem Windows-Konto nicht verwendbar.";

// DPAPI hands its output in a LocalAlloc buffer; the plain text must not linger in freed memory.
class DpapiOutput {
  public:
    DpapiOutput() = default;
    DpapiOutput(const DpapiOutput&) = delete;
    DpapiOutput& operator=(const DpapiOutput&) = delete;
    ~DpapiOutput() {
        if (blob.pbData) {
            ::SecureZeroMemory(blob.pbData, blob.cbData);
            ::LocalFree(blob.pbData);
        }
    }
    std::string bytes() const { return std::string(reinterpret_cast<const char*>(blob.pbData), blob.cbData); }

    DATA_BLOB blob{};
};

DATA_BLOB inputBlob(std::string_view bytes) {
    return {static_cast<DWORD>(bytes.size()), reinterpret_cast<BYTE*>(const_cast<char*>(bytes.data()))};
}

bool isNonEmptyString(const Json& value) {
    return value.is_string() && !value.get_ref<const std::string&>().empty();
}

// A token answer, and the document kept from one, is usable only with a real access token and, if
// present at all, a real refresh token; anything else would break every later token request.
bool hasUsableTokens(const Json& document) {
    return document.is_object() && document.contains("access_token") &&
           isNonEmptyString(document.at("access_token")) &&
           (!document.contains("refresh_token") || isNonEmptyString(document.at("refresh_token")));
}

std::int64_t unixNow() {
    return static_cast<std::int64_t>(std::time(nullptr));
}

} // namespace

std::filesystem::path credentialsPath(const std::filesystem::path& dataRoot) {
    return dataRoot / L"credentials.dpapi";
}

std::string protectCredentials(std::string_view plain) {
    DATA_BLOB input = inputBlob(plain);
    DpapiOutput output;
    require(::CryptProtectData(&input, L"TESSARO Installer account", nullptr, nullptr, nullptr,
                               CRYPTPROTECT_UI_FORBIDDEN, &output.blob),
            unusableMessage);
    return output.bytes();
}

std::string unprotectCredentials(std::string_view protectedBytes) {
    DATA_BLOB input = inputBlob(protectedBytes);
    DpapiOutput output;
    require(::CryptUnprotectData(&input, nullptr, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN,
                                 &output.blob),
            unusableMessage);
    return output.bytes();
}

Json loadStoredCredentials(const std::filesystem::path& dataRoot) noexcept {
    try {
        const std::filesystem::path path = credentialsPath(dataRoot);
        if (!pathExists(path))
            return Json::object();
        Json document = parse(unprotectCredentials(readFileBounded(path, maxCredentialsBytes)));
        if (hasUsableTokens(document))
            return document;
    } catch (...) {
    }
    return Json::object();
}

void Client::acceptTokenResponse(const PortalResponse& response) {
    require(response.status == 200,
            "Anmeldung erforderlich oder nicht mehr gültig. Bitte bei CORVALIS anmelden.");
    Json document = parse(response.body);
    require(hasUsableTokens(document) && document.contains("expires_in"), "Unvollständige Anmeldung.");
    document["expiresAt"] = unixNow() + document.at("expires_in").get<std::int32_t>();
    if (!document.contains("refresh_token") && credentials.contains("refresh_token"))
        document["refresh_token"] = credentials.at("refresh_token");
    credentials = document;
    writeFileDurably(credentialsPath(dataRoot), protectCredentials(dumpCompact(document)));
}

std::string Client::accessToken(bool interactive) {
    const std::int64_t now = unixNow();
    if (credentials.value("expiresAt", std::int64_t{0}) > now + refreshMargin)
        return credentials.at("access_token").get<std::string>();

    if (credentials.contains("refresh_token")) {
        const std::string body =
            "grant_type=refresh_token&client_id=" + std::string(oauthClientId) +
            "&refresh_token=" + percentEncode(credentials.at("refresh_token").get<std::string>());
        const PortalResponse response = fetchPortal(tokenPath, {}, body);
        if (response.status == 200) {
            acceptTokenResponse(response);
            return credentials.at("access_token").get<std::string>();
        }
    }
    require(interactive,
            "Bitte bei CORVALIS anmelden. Bereits installierte Versionen sind weiterhin startbar.");
    signInWithBrowser();
    return credentials.at("access_token").get<std::string>();
}

std::string Client::refreshAfterRejection() {
    credentials["expiresAt"] = 0;
    return accessToken(false);
}

} // namespace tess
