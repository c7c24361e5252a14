#include "launcher/update.hpp"

#include "activation/process.hpp"
#include "client/client.hpp"
#include "foundation/changes.hpp"
#include "foundation/crypto.hpp"
#include "foundation/disk.hpp"
#include "foundation/error.hpp"
#include "foundation/files.hpp"
#include "foundation/paths.hpp"
#include "foundation/text.hpp"
#include "launcher/launcher_verify.hpp"
#include "portal/download.hpp"
#include "portal/http.hpp"
#include "trust/envelope.hpp"
#include "trust/launcher_release.hpp"

#include <windows.h>

#include <sstream>
#include <string>

namespace tess {
namespace fs = std::filesystem;
namespace {

constexpr std::uint64_t maxLauncherBytes = 10485760;
constexpr std::int64_t maxVersionPart = 65535;

bool isLowerHexHash(const std::string& text) {
    return text.size() == 64 && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// The artifact is checked again here although the release was validated: the download and the staged
// file name are built from these values.
void checkLauncherArtifact(const Json& release) {
    const Json& artifact = release.at("artifact");
    const Json& size = artifact.at("size");
    const Json& files = release.at("files");
    bool valid =
        artifact.at("sha256").is_string() && isLowerHexHash(artifact.at("sha256").get<std::string>()) &&
        size.is_number_unsigned() && size.get<std::uint64_t>() >= 1 &&
        size.get<std::uint64_t>() <= maxLauncherBytes && files.is_array() && files.size() == 1 &&
        files[0].is_object() && files[0].value("path", Json()) == Json("TESSARO-Setup.exe") &&
        files[0].value("sha256", Json()) == artifact.at("sha256") && files[0].value("size", Json()) == size;
    require(valid, "Launcherdatei ungültig.");
}

// A helper started for this very launcher still waits for the manager to close: the order stands, and
// repeated sign-ins or loads must not pile up helpers.
bool helperAwaits(const fs::path& dataRoot, const fs::path& staged, const std::string& sha256) {
    Json order;
    try {
        order = loadJsonOr(extendedPath(launcherUpdateDocumentPath(dataRoot), false), Json());
    } catch (const std::exception&) {
        return false;
    }
    return order.is_object() && order.value("phase", Json()) == Json("prepared") &&
           order.value("sha256", Json()) == Json(sha256) && isProgramRunningFrom(staged);
}

} // namespace

std::optional<std::array<std::int64_t, 3>> readLauncherVersion(std::string_view text) {
    std::istringstream stream{std::string(text)};
    std::array<std::int64_t, 3> parts{};
    char first = 0;
    char second = 0;
    if (!(stream >> parts[0] >> first >> parts[1] >> second >> parts[2]))
        return std::nullopt;
    if (first != '.' || second != '.' || stream.peek() != std::char_traits<char>::eof())
        return std::nullopt;
    for (std::int64_t part : parts)
        if (part < 0)
            return std::nullopt;
    return parts;
}

bool isNewerThanRunningLauncher(std::string_view version) {
    auto offered = readLauncherVersion(version);
    if (!offered)
        return true;
    for (std::int64_t part : *offered)
        if (part > maxVersionPart)
            return true;
    return *offered > *readLauncherVersion(launcherVersion);
}

fs::path launcherUpdateDocumentPath(const fs::path& dataRoot) {
    return dataRoot / L"launcher-update.json";
}

void writeLauncherUpdateDocument(const fs::path& dataRoot, const Json& document) {
    writeFileDurably(launcherUpdateDocumentPath(dataRoot), dumpCompact(document));
}

fs::path stagedLauncherPath(const fs::path& installRoot, std::string_view sha256) {
    return installRoot / L"updater" / toWide("launcher-" + std::string(sha256) + ".exe");
}

void startReplacementHelper(const fs::path& stagedLauncher) {
    // The helper waits for this process to end; nobody waits for the helper, its handle closes here.
    StartedProcess helper = startProcess(
        stagedLauncher, {L"--replace-launcher", L"--parent-pid", std::to_wstring(::GetCurrentProcessId())},
        true);
}

void discardAlteredStagedLauncher(const fs::path& stagedLauncher) {
    deleteFile(extendedPath(stagedLauncher, false));
    throw Error("Launcherdatei wurde verändert.");
}

void Client::updateLauncher() {
    PortalResponse response = fetchPortal("/software/bootstrap/manifest", "", "");
    if (response.status == 404 || response.status == 503)
        return;
    require(response.status == 200, "Launcherinformationen nicht verfügbar.");
    const std::string& envelope = response.body;
    Json release = verifyEnvelope(envelope, trustKeys);
    validateLauncherRelease(release);

    const Json& version = release.at("version");
    require(version.is_string() && readLauncherVersion(version.get<std::string>()).has_value(),
            "Launcherversion ungültig.");
    if (!isNewerThanRunningLauncher(version.get<std::string>()))
        return;
    checkLauncherArtifact(release);
    const Json& artifact = release.at("artifact");
    const std::string sha256 = artifact.at("sha256").get<std::string>();

    const fs::path partial = dataRoot / L"downloads" / toWide("launcher-" + sha256 + ".partial");
    std::string token;
    downloadArtifact(
        "/software/TESSARO-Setup.exe", partial, artifact, token,
        []() -> std::string { throw Error("Öffentliche Launcherdatei ist nicht verfügbar."); }, progress);
    verifyLauncherFile(partial, envelope, trustKeys, false);

    ensurePrivateDirectory(installRoot / L"updater");
    const fs::path staged = stagedLauncherPath(installRoot, sha256);
    if (!pathExists(staged))
        require(copyFile(extendedPath(partial, false), extendedPath(staged, false), true),
                "Launcherupdate konnte nicht vorbereitet werden.");
    if (sha256FileHex(extendedPath(staged, false), nullptr, {}) != sha256)
        discardAlteredStagedLauncher(staged);

    if (!helperAwaits(dataRoot, staged, sha256)) {
        writeLauncherUpdateDocument(dataRoot, {{"envelope", envelope},
                                               {"file", toUtf8(staged.native())},
                                               {"phase", "prepared"},
                                               {"sha256", sha256},
                                               {"version", version}});
        startReplacementHelper(staged);
    }
    if (progress.report)
        progress.report("Neuer Launcher vorbereitet. Versionsverwaltung schließen und erneut öffnen, um ihn "
                        "zu übernehmen.",
                        0, 0);
}

} // namespace tess
