#include "foundation/disk.hpp"

#include "foundation/changes.hpp"
#include "foundation/handles.hpp"
#include "foundation/paths.hpp"

#include <system_error>

namespace tess {
namespace fs = std::filesystem;
namespace {

bool isMissing(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_BAD_NETPATH ||
           error == ERROR_BAD_NET_NAME || error == ERROR_INVALID_NAME;
}

[[noreturn]] void fail(const char* operation, const fs::path& path, DWORD error) {
    throw fs::filesystem_error(operation, path,
                               std::error_code(static_cast<int>(error), std::system_category()));
}

[[noreturn]] void fail(const char* operation, const fs::path& from, const fs::path& to, DWORD error) {
    throw fs::filesystem_error(operation, from, to,
                               std::error_code(static_cast<int>(error), std::system_category()));
}

FileHandle openForIdentity(const fs::path& path) {
    return FileHandle(::CreateFileW(extendedPath(path, false).c_str(), 0,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
}

} // namespace

DiskEntry queryEntry(const fs::path& path, const char* operation) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(extendedPath(path, false).c_str(), GetFileExInfoStandard, &data)) {
        const DWORD error = ::GetLastError();
        if (isMissing(error))
            return {};
        fail(operation, path, error);
    }
    return {true, (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0,
            (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0,
            (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow};
}

bool pathExists(const fs::path& path) {
    return queryEntry(path, "exists").exists;
}

bool isDirectory(const fs::path& path) {
    return queryEntry(path, "is_directory").directory;
}

bool isRegularFile(const fs::path& path) {
    const DiskEntry entry = queryEntry(path, "is_regular_file");
    return entry.exists && !entry.directory;
}

std::uint64_t fileSize(const fs::path& path) {
    const DiskEntry entry = queryEntry(path, "file_size");
    if (!entry.exists)
        fail("file_size", path, ERROR_FILE_NOT_FOUND);
    if (entry.directory)
        fail("file_size", path, ERROR_INVALID_FUNCTION);
    return entry.size;
}

bool removeEntry(const fs::path& path) {
    const DiskEntry entry = queryEntry(path, "remove");
    if (!entry.exists)
        return false;
    const fs::path target = extendedPath(path, false);
    if (!(entry.directory ? removeFolder(target) : deleteFile(target))) {
        const DWORD error = ::GetLastError();
        if (isMissing(error))
            return false;
        fail("remove", path, error);
    }
    return true;
}

void renameEntry(const fs::path& from, const fs::path& to) {
    if (!moveFile(extendedPath(from, false), extendedPath(to, false), MOVEFILE_REPLACE_EXISTING))
        fail("rename", from, to, ::GetLastError());
}

bool sameEntry(const fs::path& left, const fs::path& right) {
    FileHandle first = openForIdentity(left);
    FileHandle second = openForIdentity(right);
    BY_HANDLE_FILE_INFORMATION a{};
    BY_HANDLE_FILE_INFORMATION b{};
    if (!first.valid() || !second.valid() || !::GetFileInformationByHandle(first.get(), &a) ||
        !::GetFileInformationByHandle(second.get(), &b))
        return false;
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
           a.nFileIndexLow == b.nFileIndexLow;
}

} // namespace tess
