#include "launcher/launcher_verify.hpp"

#include "foundation/crypto.hpp"
#include "foundation/disk.hpp"
#include "foundation/error.hpp"
#include "foundation/paths.hpp"
#include "install/authenticode.hpp"
#include "portal/http.hpp"
#include "trust/envelope.hpp"
#include "trust/launcher_release.hpp"
#include "trust/manifest.hpp"

#include <windows.h>

#include <optional>
#include <system_error>

namespace tess {
namespace fs = std::filesystem;
namespace {

// Size before hash: a file of the wrong length is refused without reading it.
bool fileMatchesArtifact(const fs::path& file, const Json& artifact) {
    const DiskEntry entry = queryEntry(file, "status");
    if (!entry.exists || entry.directory)
        return false;
    if (artifact.at("size") != Json(entry.size))
        return false;
    return sha256FileHex(file, nullptr, {}) == artifact.at("sha256").get<std::string>();
}

std::optional<std::string> receiptDescribing(const fs::path& receipt, const fs::path& executable) {
    const fs::path file = extendedPath(receipt, false);
    if (!pathExists(file))
        return std::nullopt;
    try {
        std::string text = readFileBounded(file, maxDocumentBytes);
        verifyLauncherFile(executable, text, builtinKeySet(), true);
        return text;
    } catch (...) {
        // A receipt of another launcher (or a damaged one) only means that the next source must answer.
    }
    return std::nullopt;
}

} // namespace

Json builtinKeySet() {
    return parse(builtinTrustKeys);
}

fs::path launcherReceiptPath(const fs::path& installRoot) {
    return installRoot / L"launcher-receipt.json";
}

Json verifyLauncherFile(const fs::path& executable, std::string_view envelopeText, const Json& keySet,
                        bool offline) {
    Json release = verifyEnvelope(envelopeText, keySet);
    validateLauncherRelease(release);
    const fs::path file = extendedPath(executable, false);
    refuseReparsePoints(file);
    require(fileMatchesArtifact(file, release.at("artifact")),
            "Launcher stimmt nicht mit der signierten Freigabe überein.");
    if (authenticodeRequired(release))
        require(verifyPublisherSignature(file, offline), "Launcher-Herausgebersignatur ungültig.");
    return release;
}

std::string currentLauncherRelease(const fs::path& installRoot, const fs::path& executable,
                                   const std::vector<fs::path>& copyReceipts) {
    if (std::optional<std::string> text = receiptDescribing(launcherReceiptPath(installRoot), executable))
        return *text;
    for (const fs::path& receipt : copyReceipts)
        if (std::optional<std::string> text = receiptDescribing(receipt, executable))
            return *text;
    PortalResponse response = fetchPortal("/software/bootstrap/manifest", "", "");
    require(response.status == 200, "Die signierte Installerfreigabe ist momentan nicht verfügbar.");
    verifyLauncherFile(executable, response.body, builtinKeySet(), false);
    return response.body;
}

} // namespace tess
