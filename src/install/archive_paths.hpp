// The rules every package-relative path passes before it becomes a file-system path: strictly below
// its folder, the same file on every Windows file system, never a device. Touches no file.
#pragma once

#include <string>
#include <string_view>

namespace tess {

std::wstring checkArchivePath(std::string_view path);

// The form in which two checked package paths are compared: lower case by the system's Unicode case
// table, so names that one Windows folder cannot hold side by side get the same key.
std::wstring archivePathKey(std::wstring_view checkedPath);

} // namespace tess
