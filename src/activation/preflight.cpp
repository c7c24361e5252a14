#include "activation/preflight.hpp"

#include "activation/process.hpp"
#include "build_config.hpp"
#include "foundation/crypto.hpp"
#include "foundation/disk.hpp"
#include "foundation/error.hpp"
#include "foundation/text.hpp"

namespace tess {
namespace fs = std::filesystem;

Json runPreflight(const fs::path& programDir, const fs::path& answerDir) {
    const fs::path answer = answerDir / toWide("preflight-" + randomId() + ".json");
    StartedProcess preflight =
        startProcess(programDir / L"appTESSARO.exe", {L"--update-preflight", answer.native()}, true);
    require(::WaitForSingleObject(preflight.process.get(), build::waits().preflightMs) == WAIT_OBJECT_0,
            "Kompatibilitätsprüfung antwortet nicht. Kein Versionswechsel.");
    DWORD exitCode = 1;
    if (!::GetExitCodeProcess(preflight.process.get(), &exitCode))
        exitCode = 1;

    Json document = loadJsonOr(answer, Json::object());
    removeEntry(answer);
    const std::string message =
        document.value("error", std::string("Benutzerprofil ist mit dieser Version nicht kompatibel."));
    if (exitCode == 0 && document.value("ok", false))
        return document;
    throw Error(message);
}

} // namespace tess
