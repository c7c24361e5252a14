// Durable replacement of state files (write a temporary sibling, flush, one rename) and the shared
// read of a whole file with sharing allowed.
#pragma once

#include <cstdint>
#include <filesystem>
#include <limits>
#include <string>
#include <string_view>

namespace tess {

void writeFileDurably(const std::filesystem::path& path, std::string_view content);

// Forces a file's content to disk: a copy lies in the cache until then, where a power loss takes it.
[[nodiscard]] bool flushFileToDisk(const std::filesystem::path& path);

// Reads a file the caller has already checked, but never more than byteLimit bytes (a file may grow
// after its size was looked at); throws "Datei nicht lesbar." when it cannot be opened.
std::string readWholeFile(const std::filesystem::path& path,
                          std::uint64_t byteLimit = std::numeric_limits<std::uint64_t>::max());

} // namespace tess
