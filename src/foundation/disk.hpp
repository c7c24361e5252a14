// Queries and changes of single file-system entries over Win32, for every caller outside foundation.
// MinGW's std::filesystem answers through msvcrt's stat family, which refuses the \\?\ form of long
// paths on Windows; these take any path, apply the long-path rule and keep the standard error names.
#pragma once

#include <cstdint>
#include <filesystem>

namespace tess {

struct DiskEntry {
    bool exists = false;
    bool directory = false;
    bool reparsePoint = false;
    std::uint64_t size = 0;
};

// A missing entry (or a missing folder on the way) is "not there"; any other failure throws the
// standard file-system error named by operation.
DiskEntry queryEntry(const std::filesystem::path& path, const char* operation = "status");
bool pathExists(const std::filesystem::path& path);
bool isDirectory(const std::filesystem::path& path);
bool isRegularFile(const std::filesystem::path& path);
// Throws "file_size" for a missing entry and for a folder, as the standard library does.
std::uint64_t fileSize(const std::filesystem::path& path);

// Removes a file or an empty folder; false when there was nothing to remove. Errors name "remove".
bool removeEntry(const std::filesystem::path& path);
// Moves a file or folder; an existing target file is replaced. Errors name "rename".
void renameEntry(const std::filesystem::path& from, const std::filesystem::path& to);
// True when both paths open the same file or folder; false when either cannot be opened.
bool sameEntry(const std::filesystem::path& left, const std::filesystem::path& right);

} // namespace tess
