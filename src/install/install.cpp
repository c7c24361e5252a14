#include "install/install.hpp"

#include "activation/compatibility.hpp"
#include "activation/launch.hpp"
#include "activation/preflight.hpp"
#include "client/client.hpp"
#include "foundation/crypto.hpp"
#include "foundation/disk.hpp"
#include "foundation/error.hpp"
#include "foundation/files.hpp"
#include "foundation/paths.hpp"
#include "foundation/text.hpp"
#include "install/extract.hpp"
#include "install/fast_update.hpp"
#include "install/finalize.hpp"
#include "install/journal.hpp"
#include "install/receipts.hpp"
#include "install/verify.hpp"
#include "portal/download.hpp"
#include "portal/http.hpp"
#include "trust/compact_manifest.hpp"
#include "trust/envelope.hpp"
#include "trust/manifest.hpp"

#include <windows.h>

#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

namespace tess {
namespace fs = std::filesystem;
namespace {

constexpr std::string_view releasesApi = "/account-api/v1/software/releases/";
constexpr std::string_view artifactsApi = "/account-api/v1/software/artifacts/";

void report(Client& client, const char* text) {
    if (client.progress.report)
        client.progress.report(text, 0, 0);
}

// The last entry with this id counts: a catalog that lists a release twice means its later row.
const Json& catalogEntry(const Client& client, const std::string& releaseId) {
    const Json* found = nullptr;
    for (const Json& entry : client.catalogReleases)
        if (entry.is_object() && entry.contains("releaseId") && entry.at("releaseId") == Json(releaseId))
            found = &entry;
    require(found != nullptr, "Version zuerst aus einem aktuellen freigegebenen Katalog auswählen.");
    return *found;
}

// The signed manifest as the portal sends it now; the catalog's hash ties it to the catalog the user
// chose from before any signature is looked at.
std::string fetchRawManifest(Client& client, const std::string& releaseId, const Json& entry) {
    const std::string token = client.accessToken(false);
    const PortalResponse response =
        fetchPortal(std::string(releasesApi) + releaseId + "/manifest", token, {});
    require(response.status == 200, "Freigabemanifest nicht verfügbar.");
    require(entry.at("manifestSha256") == Json(sha256Hex(response.body)),
            "Katalog und Freigabemanifest passen nicht zusammen.");
    return response.body;
}

CompactManifest acceptManifest(const Client& client, const std::string& raw, const std::string& releaseId,
                               const Json& entry) {
    CompactManifest compact = readCompactManifest(verifiedPayload(std::string(raw), client.trustKeys));
    const Json& manifest = compact.members();
    require(manifest.at("releaseId") == Json(releaseId) && manifest.at("version") == entry.at("version") &&
                manifest.at("buildId") == entry.at("buildId"),
            "Falscher Paketstand.");
    require(!manifest.value("testOnly", false), "Testpakete dürfen nicht produktiv installiert werden.");
    return compact;
}

bool isNotFound(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_BAD_NETPATH ||
           error == ERROR_INVALID_NAME;
}

// A folder, a file, a link or a junction all count; the query itself never follows a link.
bool targetExists(const fs::path& target) {
    const fs::path path = extendedPath(target, false);
    if (::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES)
        return true;
    const DWORD error = ::GetLastError();
    if (isNotFound(error))
        return false;
    throw fs::filesystem_error("exists", path,
                               std::error_code(static_cast<int>(error), std::system_category()));
}

// Only these say that the files themselves are wrong, so that a new download can help. A signature or
// delivery-manifest mismatch comes back byte for byte from the portal, and a receipt or file-system
// failure says nothing about the files: moving the folder aside for those would take a working
// version out of its place for nothing.
bool isDamagedContent(const Error& error) {
    const std::string_view message = error.what();
    return message.starts_with("Programmdatei beschädigt: ") ||
           message == "Nicht freigegebene Datei im Programmordner. Bitte reparieren." ||
           message == "Programmdateien fehlen. Bitte reparieren." ||
           message == "Verzeichnisverknüpfungen sind hier nicht erlaubt.";
}

// Empty when the installed copy is intact (its receipt is then rewritten); otherwise the folder the
// damaged copy has been moved to, and the release is installed as if it never was.
std::optional<fs::path> damagedCopyMovedAside(Client& client, const fs::path& target,
                                              const CompactManifest& manifest, const std::string& releaseId,
                                              const std::string& raw) {
    try {
        verifyFiles(target, manifest, true, false, &client.progress);
    } catch (const Error& error) {
        if (client.progress.cancelled.load() || !isDamagedContent(error))
            throw;
        require(!isApplicationRunning(0),
                "Programmdateien sind beschädigt. Anwendung vor der Reparatur beenden.");
        const fs::path releases = target.parent_path();
        // The rename must not pass through a link on the way to the releases folder.
        refuseReparsePoints(extendedPath(releases, false));
        const fs::path damaged = releases / toWide(releaseId + "-damaged-" + randomId());
        renameEntry(target, damaged);
        return damaged;
    }
    writeReceipt(client, releaseId, raw);
    return std::nullopt;
}

// A staging folder left "verified" by an earlier attempt, if it still holds exactly the package.
fs::path reusedStaging(Client& client, const std::string& releaseId, const std::string& manifestHash,
                       const CompactManifest& manifest) {
    fs::path stage = findReusableStaging(client, client.dataRoot, releaseId, manifestHash);
    if (stage.empty())
        return {};
    report(client, "Bereits entpackte Version wird erneut geprüft …");
    try {
        verifyFiles(stage, manifest, true, false, &client.progress);
    } catch (...) {
        if (client.progress.cancelled.load())
            throw;
        // The folder stays for housekeeping; a fresh one is prepared instead.
        return {};
    }
    return stage;
}

// The archive counts only where it is downloaded whole.
void requireFreeSpace(const fs::path& installRoot, const Json& artifact, bool wholeArchive) {
    const std::uint64_t needed = artifact.at("unpackedSize").get<std::uint64_t>() +
                                 (wholeArchive ? artifact.at("size").get<std::uint64_t>() : 0) +
                                 freeSpaceReserve;
    ULARGE_INTEGER available{};
    const bool known =
        ::GetDiskFreeSpaceExW(extendedPath(installRoot, false).c_str(), &available, nullptr, nullptr);
    require(known && available.QuadPart > needed,
            "Zu wenig freier Speicher für Download und sichere Installation.");
}

void downloadAndUnpack(Client& client, const std::string& releaseId, const CompactManifest& manifest,
                       const fs::path& stage, Json& journal) {
    const Json& artifact = manifest.members().at("artifact");
    const fs::path partial =
        client.dataRoot / L"downloads" / toWide(artifact.at("sha256").get<std::string>() + ".zip.partial");
    requireFreeSpace(client.installRoot, artifact, true);
    writeJournal(client.dataRoot, journal);

    std::string token = client.accessToken(false);
    downloadArtifact(
        std::string(artifactsApi) + releaseId, partial, artifact, token,
        [&client] { return client.refreshAfterRejection(); }, client.progress);
    journal["phase"] = "extracting";
    writeJournal(client.dataRoot, journal);

    extractArchive(partial, stage, manifest, client.progress.cancelled, &client.progress);
    verifyFiles(stage, manifest, true, false, &client.progress);
}

// Fills the stage, on the road that fetches only what changed where it can be taken, else from the whole
// archive. A fallback after the fast road had begun to fill its folder draws a new one; the old one stays
// for housekeeping.
void prepareStage(Client& client, const std::string& releaseId, const CompactManifest& manifest,
                  fs::path& stage, Json& journal, const fs::path& damaged) {
    const Json& artifact = manifest.members().at("artifact");
    // The road that fetches only what changed looks the files up in their document form.
    const Json document = manifest.toJson();
    if (const std::optional<ReuseSources> sources = chooseFastRoad(
            client, releaseId, document, journal.at("manifestSha256").get<std::string>(), damaged)) {
        requireFreeSpace(client.installRoot, artifact, false);
        if (stageChangedFilesOnly(client, releaseId, document, *sources, stage, journal)) {
            verifyFiles(stage, manifest, true, false, &client.progress);
            return;
        }
        if (pathExists(stage)) {
            stage = newStagingFolder(client.installRoot, releaseId);
            journal["stage"] = toUtf8(stage.native());
        }
        journal["phase"] = "downloading";
    }
    downloadAndUnpack(client, releaseId, manifest, stage, journal);
}

// The report is for the user and support; failing to write it must not hide the rename's own error,
// whose code and attempts say what went wrong.
void writeInstallationError(const Client& client, const FinalizeError& error, const std::string& releaseId,
                            const fs::path& stage, const fs::path& target) noexcept {
    try {
        const Json document = {{"at", static_cast<std::int64_t>(std::time(nullptr))},
                               {"attempts", error.attempts},
                               {"message", error.what()},
                               {"phase", "finalizing"},
                               {"releaseId", releaseId},
                               {"stage", toUtf8(stage.native())},
                               {"target", toUtf8(target.native())},
                               {"windowsError", error.windowsError}};
        writeFileDurably(installationErrorPath(client.dataRoot), document.dump(2));
    } catch (...) {
    }
}

} // namespace

fs::path installationErrorPath(const fs::path& dataRoot) {
    return dataRoot / L"installation-error.json";
}

Json Client::install(const std::string& releaseId) {
    require(isUuidText(releaseId), "Ungültige Release-ID.");
    const Json& entry = catalogEntry(*this, releaseId);
    const std::string raw = fetchRawManifest(*this, releaseId, entry);
    const CompactManifest manifest = acceptManifest(*this, raw, releaseId, entry);

    const fs::path releases = installRoot / L"releases";
    const fs::path target = releases / toWide(releaseId);
    fs::path damaged;
    if (targetExists(target)) {
        std::optional<fs::path> movedAside = damagedCopyMovedAside(*this, target, manifest, releaseId, raw);
        if (!movedAside)
            return manifest.toJson();
        damaged = std::move(*movedAside);
    }

    ensurePrivateDirectory(releases);
    const std::string manifestHash = sha256Hex(raw);
    fs::path stage = reusedStaging(*this, releaseId, manifestHash, manifest);
    const bool reused = !stage.empty();
    if (!reused)
        stage = newStagingFolder(installRoot, releaseId);

    Json journal = {{"phase", "downloading"},
                    {"releaseId", releaseId},
                    {"stage", toUtf8(stage.native())},
                    {"manifestSha256", manifestHash}};
    if (!reused)
        prepareStage(*this, releaseId, manifest, stage, journal, damaged);

    report(*this, "Kompatibilität der vorbereiteten Version wird geprüft …");
    checkCompatibility(manifest.members(), runPreflight(stage, dataRoot));
    require(!progress.cancelled.load(), "Installation abgebrochen. Bestehende Versionen bleiben erhalten.");
    journal["phase"] = "verified";
    writeJournal(dataRoot, journal);

    try {
        finalizeStaging(stage, target, progress, finalRenameBudgetMs);
    } catch (const FinalizeError& error) {
        writeInstallationError(*this, error, releaseId, stage, target);
        throw;
    }
    writeReceipt(*this, releaseId, raw);
    journal["phase"] = "installed";
    writeJournal(dataRoot, journal);
    report(*this, "Version ist vollständig installiert.");
    return manifest.toJson();
}

} // namespace tess
