// The rules every package-relative path passes before it becomes a file-system path: strictly below
// its folder, the same file on every Windows file system, never a device. Touches no file.
#pragma once

#include <string>
#include <string_view>

namespace tess {

std::wstring checkArchivePath(std::string_view path);

} // namespace tess
