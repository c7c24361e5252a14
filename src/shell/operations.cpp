#include "shell/operations.hpp"

#include "activation/launch.hpp"
#include "activation/switch.hpp"
#include "foundation/error.hpp"
#include "install/receipts.hpp"
#include "portal/catalog_fetch.hpp"
#include "shell/command_line.hpp"

#include <algorithm>

namespace tess {
namespace {

bool isChecked(HWND window, int id) {
    return ::IsDlgButtonChecked(window, id) == BST_CHECKED;
}

void report(Client& client, const std::string& text) {
    if (client.progress.report)
        client.progress.report(text, 0, 0);
}

// Loads the channel the snapshots box shows; an id from the command line that this catalog does not
// name may be a snapshot, so the snapshot catalog is loaded for it.
void refreshCatalog(Client& client, HWND window, const std::string& releaseId) {
    client.loadCatalog(isChecked(window, 103) ? "snapshot" : "stable");
    if (releaseId.empty())
        return;
    bool listed =
        std::any_of(client.catalogReleases.begin(), client.catalogReleases.end(), [&](const Json& release) {
            return release.contains("releaseId") && release["releaseId"] == releaseId;
        });
    if (!listed)
        client.loadCatalog("snapshot");
}

// A damaged catalog state is set aside by the next catalog load; until then the window says so.
void reportDamagedCatalogState(Client& client) {
    const StateDocument state = readCatalogState(client.dataRoot);
    if (state.damaged())
        report(client, damagedDocumentNotice(state.path));
}

// A completed switch used up the handshake values of the application that asked for it.
void switchAndForgetHandshake(Client& client, const Json& manifest) {
    CommandLineOptions& options = processOptions();
    switchTo(client, manifest, options.parentProcessId, options.desktopPipeName);
    options.parentProcessId = 0;
    options.desktopPipeName.clear();
}

} // namespace

void runStartupOperation(Client& client, HWND window) {
    const std::string releaseId = processOptions().requestedReleaseId;
    if (!releaseId.empty()) {
        // A refused return asks for a compatible version to be installed or repaired: exactly what was
        // requested, so the refusal is shown and the request goes on.
        try {
            recoverAfterFailedStart(client);
        } catch (const Error& refusal) {
            report(client, refusal.what());
        }
        (void)client.accessToken(true);
        runInstallSequence(client, window, releaseId);
        return;
    }
    recoverAfterFailedStart(client);
    reportDamagedCatalogState(client);
    if (std::wstring_view(::GetCommandLineW()).find(L"--uninstall") != std::wstring_view::npos) {
        report(client, "Deinstallation über die Schaltfläche bestätigen.");
    }
}

void runSignInOperation(Client& client, HWND window) {
    client.signInWithBrowser();
    refreshCatalog(client, window, "");
    client.updateLauncher();
}

void runLoadVersionsOperation(Client& client, HWND window) {
    refreshCatalog(client, window, "");
    client.updateLauncher();
}

void runInstallSequence(Client& client, HWND window, const std::string& releaseId) {
    refreshCatalog(client, window, releaseId);
    client.updateLauncher();
    const Json manifest = client.install(releaseId);
    require(!client.progress.cancelled.load(),
            "Installation abgebrochen. Die vorbereitete Version bleibt erhalten.");
    report(client, "Startmenü und Versionsverwaltung werden eingerichtet …");
    client.setup(isChecked(window, 104));
    switchAndForgetHandshake(client, manifest);
}

void runStartOperation(Client& client, const std::string& releaseId) {
    switchAndForgetHandshake(client, loadReceipt(client, releaseId));
}

void runUninstallOperation(Client& client) {
    client.uninstall();
}

} // namespace tess
