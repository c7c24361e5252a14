#include "foundation/identity.hpp"

#include "foundation/error.hpp"
#include "foundation/text.hpp"

#include <sddl.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

namespace tess {
namespace {

// The token user's SID in string form; empty when any step fails.
std::wstring tokenUserSid(HANDLE process) {
    KernelHandle token;
    if (!::OpenProcessToken(process, TOKEN_QUERY, token.put()))
        return {};
    DWORD size = 0;
    ::GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> buffer(size, 0);
    if (size == 0 || !::GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size))
        return {};
    LocalMemory<LPWSTR> text;
    if (!::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, text.put()))
        return {};
    return std::wstring(text.get());
}

constexpr auto mutexRetryInterval = std::chrono::milliseconds(500);

KernelHandle tryCreateInstanceMutex() {
    KernelHandle mutex(::CreateMutexW(nullptr, TRUE, instanceMutexName().c_str()));
    if (!mutex.valid() || mutex.get() == INVALID_HANDLE_VALUE || ::GetLastError() == ERROR_ALREADY_EXISTS)
        return {};
    return mutex;
}

} // namespace

std::string currentUserSid() {
    KernelHandle token;
    require(::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put()),
            "Windows-Benutzer nicht bestimmbar.");
    DWORD size = 0;
    ::GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> buffer(size, 0);
    require(size != 0 && ::GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size),
            "Windows-Benutzer nicht bestimmbar.");
    LocalMemory<LPWSTR> text;
    require(::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, text.put()),
            "SID nicht lesbar.");
    return toUtf8(text.get());
}

std::wstring instanceMutexName() {
    return toWide("Global\\CORVALIS.TESSARO.Installer." + currentUserSid());
}

bool isProcessOfCurrentUser(std::uint32_t processId) noexcept {
    try {
        KernelHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
        if (!process)
            return false;
        std::wstring sid = tokenUserSid(process.get());
        if (sid.empty())
            return false;
        return toUtf8(sid) == currentUserSid();
    } catch (...) {
        return false;
    }
}

KernelHandle acquireInstanceMutex() {
    KernelHandle mutex = tryCreateInstanceMutex();
    require(mutex.valid(), "Eine TESSARO-Installation oder Versionsverwaltung ist bereits geöffnet.");
    return mutex;
}

KernelHandle acquireHelperInstanceMutex(std::uint32_t parentProcessId,
                                        std::chrono::steady_clock::time_point deadline,
                                        const std::function<bool()>& stillWanted) {
    KernelHandle parent(
        ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, parentProcessId));
    if (parent) {
        require(isProcessOfCurrentUser(parentProcessId),
                "Installationshelfer gehört zu einem anderen Benutzer.");
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        require(::WaitForSingleObject(parent.get(), static_cast<DWORD>(std::max<std::int64_t>(
                                                        left.count(), 0))) == WAIT_OBJECT_0,
                "Vorheriger Installer läuft noch.");
    }
    for (;;) {
        KernelHandle mutex = tryCreateInstanceMutex();
        if (mutex)
            return mutex;
        if (stillWanted && !stillWanted())
            return {};
        require(std::chrono::steady_clock::now() + mutexRetryInterval < deadline,
                "Andere Versionsverwaltung läuft noch. Launcherupdate bleibt vorbereitet.");
        std::this_thread::sleep_for(mutexRetryInterval);
    }
}

} // namespace tess
