// The Windows user this process runs as, the owner test for other processes, and the per-user
// single-instance mutex that keeps two launchers of one user apart.
#pragma once

#include "foundation/handles.hpp"

#include <cstdint>
#include <string>

namespace tess {

std::string currentUserSid();
std::wstring instanceMutexName();
bool isProcessOfCurrentUser(std::uint32_t processId) noexcept;

// Interactive start: owns the mutex for the whole run or throws the "already open" message.
KernelHandle acquireInstanceMutex();

// Helper start: waits (within a 10-minute budget) for the launcher that started it to end, then for
// the mutex; a sibling launcher still holding it is waited for instead of giving up at once.
KernelHandle acquireHelperInstanceMutex(std::uint32_t parentProcessId);

} // namespace tess
