#include "activation/handshake.hpp"

#include "activation/startup_pipe.hpp"
#include "build_config.hpp"
#include "foundation/error.hpp"
#include "foundation/handles.hpp"
#include "foundation/identity.hpp"
#include "foundation/json.hpp"

namespace tess {
namespace {

constexpr DWORD pipeWaitMs = 10000;
constexpr int answerPolls = 600;
constexpr DWORD answerPollPauseMs = 500;
constexpr DWORD exitWaitMs = 200;
constexpr DWORD readChunk = 4096;
constexpr size_t answerLimit = 8192;

FileHandle openApplicationPipe(const std::wstring& path, std::uint32_t parentProcessId) {
    FileHandle pipe(
        ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ULONG serverProcessId = 0;
    require(pipe.valid() && ::GetNamedPipeServerProcessId(pipe.get(), &serverProcessId) &&
                serverProcessId == parentProcessId,
            "Updateverbindung gehört nicht zur erwarteten Anwendung.");
    return pipe;
}

void sendRequest(HANDLE pipe, const std::string& releaseId) {
    const std::string request = dumpCompact(Json{{"releaseId", releaseId}, {"type", "ready"}}) + "\n";
    DWORD written = 0;
    require(::WriteFile(pipe, request.data(), static_cast<DWORD>(request.size()), &written, nullptr) &&
                written == request.size(),
            "Anwendung antwortet nicht.");
}

// Collects until a line feed arrives; polling keeps the wait cancellable.
std::string collectAnswer(HANDLE pipe, const std::atomic<bool>& cancelled) {
    std::string collected;
    for (int poll = 0; poll < answerPolls; ++poll) {
        require(!cancelled, "Versionswechsel abgebrochen; vorbereitete Version bleibt erhalten.");
        DWORD available = 0;
        require(::PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr),
                "Updateverbindung geschlossen. Vorbereiteter Stand bleibt erhalten.");
        if (available > 0) {
            char chunk[readChunk];
            DWORD received = 0;
            require(::ReadFile(pipe, chunk, readChunk, &received, nullptr) && received > 0,
                    "Updateantwort fehlt.");
            collected.append(chunk, received);
            require(collected.size() < answerLimit, "Updateantwort ungültig.");
        }
        if (collected.find('\n') != std::string::npos)
            break;
        ::Sleep(answerPollPauseMs);
    }
    return collected;
}

void waitForExit(HANDLE process, const std::atomic<bool>& cancelled) {
    DWORD result = WAIT_TIMEOUT;
    const std::uint32_t exitWaits = build::waits().applicationExitMs / exitWaitMs;
    for (std::uint32_t attempt = 0; attempt < exitWaits && result == WAIT_TIMEOUT; ++attempt) {
        require(!cancelled, "Versionswechsel abgebrochen.");
        result = ::WaitForSingleObject(process, exitWaitMs);
    }
    require(result != WAIT_TIMEOUT,
            "Anwendung läuft noch. Bitte regulär beenden und Version danach starten.");
}

} // namespace

void awaitApplicationExit(std::uint32_t parentProcessId, const std::string& desktopPipeName,
                          const std::string& releaseId, const std::atomic<bool>& cancelled) {
    require(parentProcessId != 0 && !desktopPipeName.empty(),
            "Die laufende Anwendung muss vor dem Wechsel geschlossen werden.");
    KernelHandle application(
        ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, parentProcessId));
    require(application.valid() && isProcessOfCurrentUser(parentProcessId),
            "Vorherige Anwendung nicht erreichbar.");

    const std::wstring path = pipePathFor(desktopPipeName);
    require(::WaitNamedPipeW(path.c_str(), pipeWaitMs),
            "Anwendung antwortet nicht. Die installierte Version bleibt vorbereitet.");
    FileHandle pipe = openApplicationPipe(path, parentProcessId);
    sendRequest(pipe.get(), releaseId);

    const Json answer = parse(collectAnswer(pipe.get(), cancelled));
    require(messageType(answer) == "exit-approved",
            "Versionswechsel wurde abgebrochen. Vorbereiteter Stand bleibt erhalten.");
    waitForExit(application.get(), cancelled);
}

} // namespace tess
