#include "activation/startup_pipe.hpp"

#include "foundation/error.hpp"
#include "foundation/identity.hpp"
#include "foundation/text.hpp"

#include <sddl.h>

namespace tess {
namespace {

constexpr std::string_view namePrefix = "TESSARO-Updater-";
constexpr std::string_view nameCharacters = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-";
constexpr DWORD messageLimit = 16384;

bool isValidPipeName(std::string_view name) {
    return name.size() >= namePrefix.size() && name.size() < 100 &&
           name.substr(0, namePrefix.size()) == namePrefix &&
           name.find_first_not_of(nameCharacters) == std::string_view::npos;
}

// Cancels a pending operation and waits until it has really ended, so that neither its buffer nor its
// event goes away under it.
void cancelAndDrain(HANDLE file, OVERLAPPED& overlapped) {
    ::CancelIoEx(file, &overlapped);
    ::WaitForSingleObject(overlapped.hEvent, INFINITE);
}

} // namespace

std::wstring pipePathFor(std::string_view name) {
    require(isValidPipeName(name), "Ungültige Updateverbindung.");
    return L"\\\\.\\pipe\\" + toWide(name);
}

StartupPipe createStartupPipe(std::string_view name) {
    StartupPipe result;
    const std::wstring sddl = L"D:P(A;;GA;;;" + toWide(currentUserSid()) + L")";
    require(::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                                   result.securityDescriptor.put(), nullptr),
            "IPC-Rechte fehlen.");
    SECURITY_ATTRIBUTES attributes{sizeof attributes, result.securityDescriptor.get(), FALSE};
    const std::wstring path = pipePathFor(name);
    result.pipe.reset(::CreateNamedPipeW(
        path.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE | FILE_FLAG_OVERLAPPED,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, messageLimit,
        messageLimit, 0, &attributes));
    require(result.pipe.valid(), "Startbestätigung nicht verfügbar.");
    return result;
}

bool awaitClient(StartupPipe& pipe, std::uint32_t expectedProcessId, std::uint32_t timeoutMs) {
    KernelHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!event)
        return false;
    OVERLAPPED overlapped{};
    overlapped.hEvent = event.get();
    if (!::ConnectNamedPipe(pipe.pipe.get(), &overlapped)) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_IO_PENDING) {
            if (::WaitForSingleObject(event.get(), timeoutMs) != WAIT_OBJECT_0) {
                cancelAndDrain(pipe.pipe.get(), overlapped);
                return false;
            }
            DWORD ignored = 0;
            if (!::GetOverlappedResult(pipe.pipe.get(), &overlapped, &ignored, FALSE))
                return false;
        } else if (error != ERROR_PIPE_CONNECTED) {
            return false;
        }
    }
    ULONG clientProcessId = 0;
    return ::GetNamedPipeClientProcessId(pipe.pipe.get(), &clientProcessId) &&
           clientProcessId == expectedProcessId;
}

std::string messageType(const Json& message) {
    if (!message.is_object() || !message.contains("type") || !message.at("type").is_string())
        return "";
    return message.at("type").get<std::string>();
}

Json readMessage(HANDLE pipe, std::uint32_t timeoutMs) {
    KernelHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    require(event.valid(), "Ungültige Startbestätigung.");
    OVERLAPPED overlapped{};
    overlapped.hEvent = event.get();
    std::string buffer(messageLimit, '\0');
    DWORD received = 0;
    bool succeeded = ::ReadFile(pipe, buffer.data(), messageLimit, nullptr, &overlapped);
    if (!succeeded && ::GetLastError() == ERROR_IO_PENDING) {
        if (::WaitForSingleObject(event.get(), timeoutMs) != WAIT_OBJECT_0) {
            cancelAndDrain(pipe, overlapped);
            throw Error("Startbestätigung ist ausgeblieben.");
        }
        succeeded = true;
    }
    succeeded = succeeded && ::GetOverlappedResult(pipe, &overlapped, &received, FALSE);
    require(succeeded && received > 0, "Ungültige Startbestätigung.");
    return parse(std::string_view(buffer.data(), received));
}

} // namespace tess
