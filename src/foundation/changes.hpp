// The one counted place that every change of the disk or the registry passes: file creation for
// writing, copies, moves and renames, deletions, folders, security, registry values and shortcuts.
// The shipped program only counts; a test build may watch the count (to end the process at one
// chosen change and prove that every interruption is recoverable). Nothing here retries or reports.
#pragma once

#include "foundation/handles.hpp"

#include <cstdint>
#include <filesystem>

namespace tess {

// Sees every change just before it is made: its number (from 1), the Win32 call and the target.
using ChangeObserver = void (*)(std::uint64_t number, const char* call, const wchar_t* target);
void observeChanges(ChangeObserver observer);

// Announces the change that the caller makes next.
void beforeChange(const char* call, const std::filesystem::path& target);

// The Win32 calls below with their own results and last errors; paths are passed on unchanged.
BOOL copyFile(const std::filesystem::path& from, const std::filesystem::path& to, bool failIfExists);
BOOL moveFile(const std::filesystem::path& from, const std::filesystem::path& to, DWORD flags);
BOOL deleteFile(const std::filesystem::path& path);
BOOL setFileAttributes(const std::filesystem::path& path, DWORD attributes);
BOOL createFolder(const std::filesystem::path& path);
BOOL removeFolder(const std::filesystem::path& path);
// CreateFileW for writing (any disposition that may create or change the file).
FileHandle createFileForWriting(const std::filesystem::path& path, DWORD share, DWORD disposition,
                                DWORD attributes);

LSTATUS createRegistryKey(HKEY root, const wchar_t* subKey, REGSAM access, RegistryKey& key);
LSTATUS setRegistryValue(HKEY key, const wchar_t* name, DWORD type, const void* data, DWORD size);
LSTATUS deleteRegistryTree(HKEY root, const wchar_t* subKey);

} // namespace tess
