#include "foundation/changes.hpp"

#include <atomic>

namespace tess {
namespace fs = std::filesystem;
namespace {

// Written once at start, before any thread but the main one runs. Changes are made on more than one
// thread (the notices file is written on the window's thread while an operation runs), so each takes its
// number atomically.
ChangeObserver observer = nullptr;
std::atomic<std::uint64_t> changes{0};

} // namespace

void observeChanges(ChangeObserver newObserver) {
    observer = newObserver;
}

void beforeChange(const char* call, const fs::path& target) {
    const std::uint64_t number = ++changes;
    if (observer) {
        const DWORD error = ::GetLastError();
        observer(number, call, target.c_str());
        ::SetLastError(error);
    }
}

BOOL copyFile(const fs::path& from, const fs::path& to, bool failIfExists) {
    beforeChange("CopyFileW", to);
    return ::CopyFileW(from.c_str(), to.c_str(), failIfExists);
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
