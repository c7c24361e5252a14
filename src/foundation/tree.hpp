// Own Win32 walk over a folder tree. It never descends into a junction or symbolic link and refuses
// trees that hold one; the standard library's remove_all follows directory links and fails on long
// paths, so every tree removal goes through here.
#pragma once

#include <filesystem>
#include <functional>
#include <vector>

namespace tess {

struct TreeEntry {
    std::filesystem::path path; // full path (extended form)
    std::filesystem::path relative;
    bool directory;
    bool reparsePoint;
    unsigned long long size;
    bool readOnly = false;
};

// The direct entries of a folder (without "." and "..", relative holding the name); a missing folder
// has none. A listing that fails part-way throws the standard file-system error of
// "directory_iterator": a folder is never taken as read when it was not read to its end.
std::vector<TreeEntry> listFolder(const std::filesystem::path& folder);

// Visits every entry below root, parents before children. Reparse points are reported, not entered.
void walkTree(const std::filesystem::path& root, const std::function<void(const TreeEntry&)>& visit);

// Throws "Verzeichnisverknüpfungen sind hier nicht erlaubt." when root or anything below it is a link.
void refuseLinksInTree(const std::filesystem::path& root);

// Removes root and everything below it; refuses (before deleting anything) a tree that holds a link.
// A missing root is no error. Failures surface as the standard file-system error of "remove_all".
void removeTree(const std::filesystem::path& root);

} // namespace tess
