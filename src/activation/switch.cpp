#include "activation/switch.hpp"

#include "activation/compatibility.hpp"
#include "activation/handshake.hpp"
#include "activation/launch.hpp"
#include "activation/preflight.hpp"
#include "foundation/error.hpp"
#include "foundation/files.hpp"
#include "foundation/text.hpp"
#include "install/journal.hpp"
#include "install/verify.hpp"

namespace tess {
namespace fs = std::filesystem;

void switchTo(Client& client, const Json& manifest, std::uint32_t& parentProcessId,
              std::string& desktopPipeName) {
    const std::string target = manifest.at("releaseId").get<std::string>();
    const char* cancelledMessage = "Versionswechsel abgebrochen. Die vorbereitete Version bleibt erhalten.";
    require(!client.progress.cancelled, cancelledMessage);
    if (parentProcessId != 0) {
        awaitApplicationExit(parentProcessId, desktopPipeName, target, client.progress.cancelled);
        parentProcessId = 0;
        desktopPipeName.clear();
    }
    require(!isApplicationRunning(0), "Eine TESSARO-Anwendung läuft noch. Bitte regulär beenden.");

    const fs::path folder = client.installRoot / L"releases" / toWide(target);
    verifyFiles(folder, manifest, true, true, &client.progress);
    if (client.progress.report)
        client.progress.report("Versionswechsel wird vorbereitet …", 0, 0);
    const Json answer = runPreflight(folder, client.dataRoot);
    checkCompatibility(manifest, answer);
    require(!client.progress.cancelled, cancelledMessage);

    // Both documents are replaced below; a damaged one is kept aside for support. A damaged current.json
    // names no version, so the new one starts without one to return to automatically.
    const StateDocument state = readCurrentDocument(client);
    for (const StateDocument& document : {state, readJournal(client.dataRoot)})
        if (document.damaged())
            setAsideDamagedDocument(document.path);
    const Json& current = state.content;
    std::string previous = current.value("active", std::string());
    // Switching to the active version again keeps the older fallback.
    if (previous == target)
        previous = current.value("previous", std::string());
    writeJournal(client.dataRoot,
                 Json{{"phase", "activating"}, {"releaseId", target}, {"previous", previous}});
    writeFileDurably(state.path, dumpCompact(Json{{"active", target},
                                                  {"previous", previous},
                                                  {"pending", true},
                                                  {"profileSchema", answer.at("profileSchema")},
                                                  {"rollbackSafe", answer.value("rollbackSafe", false)}}));
    launchActive(client);
}

} // namespace tess
