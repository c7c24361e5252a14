// The private pipe over which a started application confirms its start, and the naming rule shared
// with the application's own update pipe. Every wait is bounded and leaves no I/O pending.
#pragma once

#include "foundation/handles.hpp"
#include "foundation/json.hpp"

#include <cstdint>
#include <string>
#include <string_view>

namespace tess {

// Members in this order so that the pipe is closed before its descriptor is freed.
struct StartupPipe {
    LocalMemory<PSECURITY_DESCRIPTOR> securityDescriptor;
    FileHandle pipe;
};

// "\\.\pipe\" + name for a valid update connection name; "Ungültige Updateverbindung." otherwise.
std::wstring pipePathFor(std::string_view name);

// One instance, this user only, local clients only.
StartupPipe createStartupPipe(std::string_view name);

// True only when the expected process itself connected within the time-out.
[[nodiscard]] bool awaitClient(StartupPipe& pipe, std::uint32_t expectedProcessId, std::uint32_t timeoutMs);

// One read is one message: the bytes of a single write, parsed strictly.
Json readMessage(HANDLE pipe, std::uint32_t timeoutMs);

// The "type" of a message from the application; empty when the message is no object or its type no
// string, so that a message of the wrong shape is refused like one of the wrong type.
std::string messageType(const Json& message);

} // namespace tess
