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

// What a file's data went through: bytes written at an offset, a flush of the open file, or a whole file
// that the system wrote for us (a copy's target, a saved shortcut), which counts as written and not yet
// flushed. Unlike changes these are no points to stop at; a test build records them to model a power cut.
enum class FileData { written, flushed, writtenWhole };
// Sees file data once the system has it: the open file (none for a whole file), its path where known, and
// for a write its offset and length.
using FileDataObserver = void (*)(FileData what, HANDLE file, const wchar_t* path, std::uint64_t offset,
                                  std::uint64_t length);
void observeFileData(FileDataObserver observer);

// The Win32 calls below with their own results and last errors; paths are passed on unchanged.
// WriteFile and FlushFileBuffers of a file opened for synchronous writing.
BOOL writeToFile(HANDLE file, const void* data, DWORD size, DWORD& written);
BOOL flushFile(HANDLE file);
// Tells that the system has just written the whole file for us.
void wroteWholeFile(const std::filesystem::path& path);
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
