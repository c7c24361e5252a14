#include "foundation/changes.hpp"

#include <atomic>

namespace tess {
namespace fs = std::filesystem;
namespace {

// Written once at start, before any thread but the main one runs. Changes are made on more than one
// thread (the notices file is written on the window's thread while an operation runs), so each takes its
// number atomically.
ChangeObserver observer = nullptr;
FileDataObserver dataObserver = nullptr;
std::atomic<std::uint64_t> changes{0};

void tellFileData(FileData what, HANDLE file, const wchar_t* path, std::uint64_t offset,
                  std::uint64_t length) {
    if (!dataObserver)
        return;
    const DWORD error = ::GetLastError();
    dataObserver(what, file, path, offset, length);
    ::SetLastError(error);
}

} // namespace

void observeChanges(ChangeObserver newObserver) {
    observer = newObserver;
}

void observeFileData(FileDataObserver newObserver) {
    dataObserver = newObserver;
}

void beforeChange(const char* call, const fs::path& target) {
    const std::uint64_t number = ++changes;
    if (observer) {
        const DWORD error = ::GetLastError();
        observer(number, call, target.c_str());
        ::SetLastError(error);
    }
}

BOOL writeToFile(HANDLE file, const void* data, DWORD size, DWORD& written) {
    LARGE_INTEGER offset{};
    if (dataObserver)
        ::SetFilePointerEx(file, LARGE_INTEGER{}, &offset, FILE_CURRENT);
    written = 0;
    const BOOL ok = ::WriteFile(file, data, size, &written, nullptr);
    if (written > 0)
        tellFileData(FileData::written, file, nullptr, static_cast<std::uint64_t>(offset.QuadPart), written);
    return ok;
}

BOOL flushFile(HANDLE file) {
    const BOOL ok = ::FlushFileBuffers(file);
    if (ok)
        tellFileData(FileData::flushed, file, nullptr, 0, 0);
    return ok;
}

void wroteWholeFile(const fs::path& path) {
    tellFileData(FileData::writtenWhole, nullptr, path.c_str(), 0, 0);
}

BOOL copyFile(const fs::path& from, const fs::path& to, bool failIfExists) {
    beforeChange("CopyFileW", to);
    const BOOL ok = ::CopyFileW(from.c_str(), to.c_str(), failIfExists);
    if (ok)
        wroteWholeFile(to);
    return ok;
}

BOOL moveFile(const fs::path& from, const fs::path& to, DWORD flags) {
    beforeChange("MoveFileExW", to);
    return ::MoveFileExW(from.c_str(), to.c_str(), flags);
}

BOOL deleteFile(const fs::path& path) {
    beforeChange("DeleteFileW", path);
    return ::DeleteFileW(path.c_str());
}

BOOL setFileAttributes(const fs::path& path, DWORD attributes) {
    beforeChange("SetFileAttributesW", path);
    return ::SetFileAttributesW(path.c_str(), attributes);
}

BOOL createFolder(const fs::path& path) {
    beforeChange("CreateDirectoryW", path);
    return ::CreateDirectoryW(path.c_str(), nullptr);
}

BOOL removeFolder(const fs::path& path) {
    beforeChange("RemoveDirectoryW", path);
    return ::RemoveDirectoryW(path.c_str());
}

FileHandle createFileForWriting(const fs::path& path, DWORD share, DWORD disposition, DWORD attributes) {
    beforeChange("CreateFileW", path);
    return FileHandle(
        ::CreateFileW(path.c_str(), GENERIC_WRITE, share, nullptr, disposition, attributes, nullptr));
}

LSTATUS createRegistryKey(HKEY root, const wchar_t* subKey, REGSAM access, RegistryKey& key) {
    beforeChange("RegCreateKeyExW", subKey);
    HKEY created = nullptr;
    const LSTATUS status = ::RegCreateKeyExW(root, subKey, 0, nullptr, REG_OPTION_NON_VOLATILE, access,
                                             nullptr, &created, nullptr);
    key.reset(status == ERROR_SUCCESS ? created : nullptr);
    return status;
}

LSTATUS setRegistryValue(HKEY key, const wchar_t* name, DWORD type, const void* data, DWORD size) {
    beforeChange("RegSetValueExW", name);
    return ::RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size);
}

LSTATUS deleteRegistryTree(HKEY root, const wchar_t* subKey) {
    beforeChange("RegDeleteTreeW", subKey);
    return ::RegDeleteTreeW(root, subKey);
}

} // namespace tess
