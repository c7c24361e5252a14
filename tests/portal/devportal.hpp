// The development portal as the Windows tests see it: its admin API (reset, fault switches, request
// log, direct tokens) and the files of the fixture's state folder. Header-only so that other
// subsystems' tests can include it as "portal/devportal.hpp".
#pragma once

#include "foundation/json.hpp"
#include "portal/http.hpp"
#include "foundation/text.hpp"
#include "support/test_support.hpp"

#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace tess::test::devportal {

inline constexpr const char* stableRelease = "5f0c2a1e-8b7d-4c3a-9e6f-1a2b3c4d5e01";
inline constexpr const char* snapshotRelease = "5f0c2a1e-8b7d-4c3a-9e6f-1a2b3c4d5e02";
inline constexpr const char* artifactsPath = "/account-api/v1/software/artifacts/";
inline constexpr const char* catalogPath = "/account-api/v1/software/catalog/win-x64/";

// The fixture's folder on the host (certs/, data/, portal.log, browser.log).
inline std::string stateDirUnix() {
    return std::string(TESSARO_BINARY_DIR) + "/devportal";
}
inline std::filesystem::path stateDir() {
    return hostPath(stateDirUnix());
}

// GET when body is empty, else POST; the admin API reads JSON whatever the content type says.
inline Json admin(const std::string& path, const std::string& body = {}) {
    PortalResponse response = fetchPortal("/_dev/" + path, {}, body);
    if (response.status != 200)
        throw std::runtime_error("devportal admin " + path + ": " + std::to_string(response.status));
    return response.body.empty() ? Json() : Json::parse(response.body);
}

inline void reset() {
    admin("reset", "{}");
}
inline void addFault(const Json& rule) {
    admin("faults", rule.dump());
}
inline void settings(const Json& changes) {
    admin("settings", changes.dump());
}

// A token answer as the token endpoint gives it, without a browser.
inline PortalResponse issueTokens() {
    return fetchPortal("/_dev/tokens", {}, "{}");
}

// Request log entries since the last reset. Entries are written once their answer went out; the
// portal answers once every request it has begun is written, so what a client has read is there.
inline std::vector<Json> requestLog(size_t atLeast = 0) {
    std::vector<Json> entries;
    for (int attempt = 0; attempt < 50; ++attempt) {
        entries.clear();
        PortalResponse response = fetchPortal("/_dev/log?settled=1", {}, {});
        size_t start = 0;
        while (start < response.body.size()) {
            size_t end = response.body.find('\n', start);
            if (end == std::string::npos)
                end = response.body.size();
            if (end > start)
                entries.push_back(Json::parse(response.body.substr(start, end - start)));
            start = end + 1;
        }
        if (entries.size() >= atLeast)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return entries;
}

// release.json of a published release: channel, version, artifactSha256, artifactSize, ...
inline Json releaseInfo(const std::string& releaseId) {
    return Json::parse(readBytes(stateDir() / L"data" / L"releases" / toWide(releaseId) / L"release.json"));
}
inline Json artifactOf(const std::string& releaseId) {
    const Json info = releaseInfo(releaseId);
    return {{"size", info.at("artifactSize")}, {"sha256", info.at("artifactSha256")}};
}
inline std::string artifactBytes(const std::string& releaseId) {
    return readBytes(stateDir() / L"data" / L"releases" / toWide(releaseId) / L"artifact.zip");
}
inline std::string catalogBytes(const std::string& name) {
    return readBytes(stateDir() / L"data" / L"catalogs" / toWide(name));
}

} // namespace tess::test::devportal
