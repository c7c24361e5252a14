// The Windows user this process runs as, the owner test for other processes, and the per-user
// single-instance mutex that keeps two launchers of one user apart.
#pragma once

#include "foundation/handles.hpp"

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace tess {

std::string currentUserSid();
std::wstring instanceMutexName();
bool isProcessOfCurrentUser(std::uint32_t processId) noexcept;

// Interactive start: owns the mutex for the whole run or throws the "already open" message.
KernelHandle acquireInstanceMutex();

// A helper finishes all its waits within this time from its start.
inline constexpr auto helperBudget = std::chrono::minutes(10);

// Helper start: waits (until the deadline) for the launcher that started it to end, then for the
// mutex; a sibling launcher still holding it is waited for instead of giving up at once. Between two
// tries stillWanted (when given) is asked; once it says no, the wait ends with an empty handle.
KernelHandle acquireHelperInstanceMutex(
    std::uint32_t parentProcessId,
    std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::now() + helperBudget,
    const std::function<bool()>& stillWanted = nullptr);

} // namespace tess
