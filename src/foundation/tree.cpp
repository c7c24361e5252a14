#include "foundation/tree.hpp"

#include "foundation/changes.hpp"
#include "foundation/error.hpp"
#include "foundation/handles.hpp"
#include "foundation/paths.hpp"

#include <system_error>
#include <vector>

namespace tess {
namespace fs = std::filesystem;
namespace {

[[noreturn]] void throwRemoveError(const fs::path& path, DWORD error) {
    throw fs::filesystem_error("remove_all", path,
                               std::error_code(static_cast<int>(error), std::system_category()));
}

[[noreturn]] void throwListingError(const fs::path& folder, DWORD error) {
    throw fs::filesystem_error("directory_iterator", folder,
                               std::error_code(static_cast<int>(error), std::system_category()));
}

// Windows refuses to delete a read-only file or folder; any other attribute is no obstacle, so only that
// one is taken away, and only where it is set.
void clearReadOnly(const fs::path& path, bool readOnly) {
    if (readOnly)
        setFileAttributes(path, FILE_ATTRIBUTE_NORMAL);
}

} // namespace

std::vector<TreeEntry> listFolder(const fs::path& folder) {
    const fs::path extended = extendedPath(folder, true);
    std::vector<TreeEntry> entries;
    WIN32_FIND_DATAW data;
    FindHandle find(::FindFirstFileExW((extended.native() + L"\\*").c_str(), FindExInfoBasic, &data,
                                       FindExSearchNameMatch, nullptr, 0));
    if (!find) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            return entries;
        throwListingError(extended, error);
    }
    do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..")
            continue;
        entries.push_back({extended / name, name, (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0,
                           (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0,
                           (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow,
                           (data.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0});
    } while (::FindNextFileW(find.get(), &data));
    const DWORD error = ::GetLastError();
    if (error != ERROR_NO_MORE_FILES)
        throwListingError(extended, error);
    return entries;
}

// A folder chain may be as deep as the path length allows; the walk keeps its own stack so that depth
// costs heap, not the thread's stack.
void walkTree(const fs::path& root, const std::function<void(const TreeEntry&)>& visit) {
    struct Pending {
        std::vector<TreeEntry> entries;
        size_t next = 0;
        fs::path relative;
    };
    std::vector<Pending> stack;
    stack.push_back({listFolder(root), 0, fs::path()});
    while (!stack.empty()) {
        Pending& top = stack.back();
        if (top.next == top.entries.size()) {
            stack.pop_back();
            continue;
        }
        TreeEntry entry = std::move(top.entries[top.next++]);
        entry.relative = top.relative / entry.relative;
        visit(entry);
        if (entry.directory && !entry.reparsePoint)
            stack.push_back({listFolder(entry.path), 0, entry.relative});
    }
}

void refuseLinksInTree(const fs::path& root) {
    refuseReparsePoints(root);
    DWORD attributes = ::GetFileAttributesW(extendedPath(root, true).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return;
    walkTree(root, [](const TreeEntry& entry) {
        require(!entry.reparsePoint, "Verzeichnisverknüpfungen sind hier nicht erlaubt.");
    });
}

void removeTree(const fs::path& root) {
    fs::path target = extendedPath(root, true);
    DWORD attributes = ::GetFileAttributesW(target.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return;
    refuseLinksInTree(target);
    std::vector<TreeEntry> entries;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        walkTree(target, [&entries](const TreeEntry& entry) { entries.push_back(entry); });
    // Children were visited after their parents, so the reverse order empties each folder first.
    for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
        clearReadOnly(it->path, it->readOnly);
        bool removed = it->directory ? removeFolder(it->path) : deleteFile(it->path);
        if (!removed)
            throwRemoveError(it->path, ::GetLastError());
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        if (!removeFolder(target))
            throwRemoveError(target, ::GetLastError());
    } else {
        clearReadOnly(target, (attributes & FILE_ATTRIBUTE_READONLY) != 0);
        if (!deleteFile(target))
            throwRemoveError(target, ::GetLastError());
    }
}

} // namespace tess
