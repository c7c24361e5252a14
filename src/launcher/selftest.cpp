#include "launcher/selftest.hpp"

#include "activation/process.hpp"
#include "foundation/crypto.hpp"
#include "foundation/disk.hpp"
#include "foundation/handles.hpp"
#include "foundation/json.hpp"
#include "foundation/paths.hpp"
#include "foundation/text.hpp"

#include <windows.h>

namespace tess {
namespace fs = std::filesystem;
namespace {

constexpr DWORD candidateTimeoutMs = 15000;
constexpr DWORD terminationGraceMs = 5000;
constexpr UINT timeoutExitCode = 198;

bool answerIsValid(const Json& answer, DWORD exitCode, const fs::path& candidate,
                   const std::string& expectedVersion) {
    if (exitCode != 0)
        return false;
    if (answer.value("ok", false) != true)
        return false;
    if (!expectedVersion.empty() && answer.value("version", std::string()) != expectedVersion)
        return false;
    return answer.at("sha256").get<std::string>() == sha256FileHex(candidate, nullptr, {});
}

bool runCandidate(const fs::path& candidate, const fs::path& answerFolder,
                  const std::string& expectedVersion) {
    const fs::path answerPath = answerFolder / toWide("launcher-probe-" + randomId() + ".json");
    StartedProcess started = startProcess(candidate, {L"--launcher-selftest", answerPath.native()}, true);
    KernelHandle process = std::move(started.process);
    if (::WaitForSingleObject(process.get(), candidateTimeoutMs) != WAIT_OBJECT_0) {
        // A hung candidate proves nothing; whatever it may have written stays for housekeeping.
        ::TerminateProcess(process.get(), timeoutExitCode);
        ::WaitForSingleObject(process.get(), terminationGraceMs);
        return false;
    }
    DWORD exitCode = 0;
    if (!::GetExitCodeProcess(process.get(), &exitCode))
        exitCode = 1;
    const Json answer = loadJsonOr(answerPath, Json::object());
    removeEntry(answerPath);
    return answerIsValid(answer, exitCode, candidate, expectedVersion);
}

} // namespace

bool runLauncherSelfTest(const fs::path& candidate, const fs::path& answerFolder,
                         const std::string& expectedVersion) noexcept {
    try {
        return runCandidate(candidate, answerFolder, expectedVersion);
    } catch (...) {
        return false;
    }
}

} // namespace tess
