#include "foundation/paths.hpp"

#include "foundation/changes.hpp"
#include "foundation/error.hpp"
#include "foundation/handles.hpp"
#include "foundation/identity.hpp"
#include "foundation/text.hpp"

#include <sddl.h>
#include <shlobj.h>

#include <string>
#include <system_error>
#include <vector>

namespace tess {
namespace fs = std::filesystem;
namespace {

constexpr std::wstring_view extendedPrefix = L"\\\\?\\";
constexpr std::wstring_view extendedUncPrefix = L"\\\\?\\UNC\\";

bool isSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

// MinGW's std::filesystem::absolute mangles \\?\ and UNC paths (it prepends the current drive), so
// the absolute form comes from GetFullPathNameW, which is what Windows' own absolute() uses.
fs::path absolutePath(const fs::path& path) {
    const std::wstring& text = path.native();
    if (text.starts_with(extendedPrefix))
        return path;
    auto fail = [&path](DWORD error) {
        return fs::filesystem_error("absolute", path,
                                    std::error_code(static_cast<int>(error), std::system_category()));
    };
    if (text.empty())
        throw fail(ERROR_INVALID_PARAMETER);
    DWORD size = ::GetFullPathNameW(text.c_str(), 0, nullptr, nullptr);
    if (size == 0)
        throw fail(::GetLastError());
    std::wstring result(size, L'\0');
    DWORD length = ::GetFullPathNameW(text.c_str(), size, result.data(), nullptr);
    if (length == 0 || length >= size)
        throw fail(::GetLastError());
    result.resize(length);
    return result;
}

// Length of the part of an absolute path that names its volume, including the separator after it:
// "C:\", "\\server\share\", "\\?\C:\", "\\?\UNC\server\share\".
size_t rootLength(const std::wstring& text) {
    size_t start = 0;
    bool unc = false;
    if (text.starts_with(extendedUncPrefix)) {
        start = extendedUncPrefix.size();
        unc = true;
    } else if (text.starts_with(extendedPrefix)) {
        start = extendedPrefix.size();
    } else if (text.size() >= 2 && isSeparator(text[0]) && isSeparator(text[1])) {
        start = 2;
        unc = true;
    }
    if (!unc) {
        size_t end = start + 2;
        if (end < text.size() && isSeparator(text[end]))
            ++end;
        return std::min(end, text.size());
    }
    size_t position = start;
    for (int part = 0; part < 2 && position < text.size(); ++part) {
        while (position < text.size() && !isSeparator(text[position]))
            ++position;
        if (position < text.size())
            ++position;
    }
    return position;
}

// Calls `visit` with each leading part of `text` that ends with a whole component, beginning with the
// first component after the first `start` characters.
template <class Visit> void forEachLeadingPart(const std::wstring& text, size_t start, Visit visit) {
    std::wstring accumulated = text.substr(0, start);
    size_t position = start;
    while (position < text.size()) {
        size_t end = position;
        while (end < text.size() && !isSeparator(text[end]))
            ++end;
        if (end > position) {
            if (!accumulated.empty() && !isSeparator(accumulated.back()))
                accumulated += L'\\';
            accumulated.append(text, position, end - position);
            visit(accumulated);
        }
        position = end + 1;
    }
}

// Where the part of `text` below `root` begins; a path that is not below root counts from its volume.
// The root gets the long-path prefix when the text has it.
size_t lengthBelow(const fs::path& rootPath, const std::wstring& text) {
    const std::wstring root = extendedPath(rootPath, text.starts_with(extendedPrefix)).native();
    const bool below = text.size() > root.size() && text.starts_with(root) && isSeparator(text[root.size()]);
    return below ? root.size() + 1 : rootLength(text);
}

bool isReparsePoint(const std::wstring& path) {
    DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool isExistingFolder(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void refuseReparsePointsFrom(const std::wstring& text, size_t start) {
    forEachLeadingPart(text, start, [](const std::wstring& part) {
        require(!isReparsePoint(part), "Verzeichnisverknüpfungen sind hier nicht erlaubt.");
    });
}

void createDirectoriesFrom(const std::wstring& text, size_t start) {
    forEachLeadingPart(text, start, [&text](const std::wstring& part) {
        // Only missing folders are created: each creation is a change of the disk.
        if (!isExistingFolder(part) && !createFolder(part)) {
            DWORD error = ::GetLastError();
            if (!isExistingFolder(part))
                throw fs::filesystem_error("create_directories", fs::path(text),
                                           std::error_code(static_cast<int>(error), std::system_category()));
        }
    });
}

fs::path knownFolder(REFKNOWNFOLDERID id) {
    CoTaskMemory<PWSTR> buffer;
    HRESULT result = ::SHGetKnownFolderPath(id, 0, nullptr, buffer.put());
    require(SUCCEEDED(result) && buffer.valid(), "Benutzerordner nicht verfügbar.");
    return fs::path(std::wstring(buffer.get()));
}

// Case-insensitive, whole components: C:\a\bc is not within C:\a\b.
bool isWithin(const fs::path& path, const fs::path& root) {
    const std::wstring inner = extendedPath(path, true).native();
    std::wstring outer = extendedPath(root, true).native();
    while (!outer.empty() && isSeparator(outer.back()))
        outer.pop_back();
    return inner.size() > outer.size() && isSeparator(inner[outer.size()]) &&
           ::CompareStringOrdinal(inner.c_str(), static_cast<int>(outer.size()), outer.c_str(),
                                  static_cast<int>(outer.size()), TRUE) == CSTR_EQUAL;
}

} // namespace

fs::path extendedPath(const fs::path& path, bool force) {
    const std::wstring text = absolutePath(path).native();
    if (text.size() >= 4 && text.starts_with(extendedPrefix))
        return text;
    if (force || text.size() >= 240) {
        if (text.size() >= 2 && text[0] == L'\\' && text[1] == L'\\')
            return std::wstring(extendedUncPrefix) + text.substr(2);
        return std::wstring(extendedPrefix) + text;
    }
    return text;
}

void refuseReparsePoints(const fs::path& path) {
    const std::wstring text = extendedPath(path, false).native();
    // The volume root itself is not tested: on Windows it cannot be a link, and Wine shows its Z: root
    // (a symbolic link to "/" in the prefix) as one.
    refuseReparsePointsFrom(text, rootLength(text));
}

void refuseReparsePointsBelow(const fs::path& root, const fs::path& path) {
    const std::wstring text = extendedPath(path, false).native();
    refuseReparsePointsFrom(text, lengthBelow(root, text));
}

fs::path checkInstallPath(const fs::path& path) {
    auto invalid = [] {
        return FinalizeError(ERROR_INVALID_NAME, 0, "Installationspfad ist ungültig.");
    };
    std::wstring given = path.native();
    if (given.empty() || given.find(L'\0') != std::wstring::npos)
        throw invalid();
    std::wstring text = given;
    for (wchar_t& c : text)
        if (c == L'/')
            c = L'\\';
    if (text.starts_with(L"\\\\.\\"))
        throw invalid();
    std::wstring normal = absolutePath(fs::path(text)).lexically_normal().native();
    for (wchar_t& c : normal)
        if (c == L'/')
            c = L'\\';
    fs::path result(normal);
    if (!result.has_filename() && result != result.root_path())
        result = result.parent_path();
    if (result == result.root_path() || !result.has_filename())
        throw invalid();
    return extendedPath(result, true);
}

void createDirectories(const fs::path& path) {
    const std::wstring text = extendedPath(path, false).native();
    createDirectoriesFrom(text, rootLength(text));
}

void createDirectoriesBelow(const fs::path& root, const fs::path& path) {
    const std::wstring text = extendedPath(path, false).native();
    createDirectoriesFrom(text, lengthBelow(root, text));
}

void ensurePrivateDirectory(const fs::path& path) {
    fs::path target = extendedPath(path, false);
    refuseReparsePoints(target);
    createDirectories(target);

    std::wstring sddl = L"D:P(A;OICI;FA;;;" + toWide(currentUserSid()) + L")(A;OICI;FA;;;SY)";
    LocalMemory<PSECURITY_DESCRIPTOR> descriptor;
    require(::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                                   descriptor.put(), nullptr),
            "Dateirechte nicht verfügbar.");
    beforeChange("SetFileSecurityW", target);
    require(::SetFileSecurityW(target.c_str(),
                               DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                               descriptor.get()),
            "Dateirechte konnten nicht gesetzt werden.");
}

fs::path localAppDataPath() {
    return knownFolder(FOLDERID_LocalAppData);
}

fs::path executablePath() {
    std::vector<wchar_t> buffer(32768, L'\0');
    DWORD length = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    require(length != 0 && length < buffer.size(), "Programmpfad nicht verfügbar.");
    return fs::path(std::wstring(buffer.data(), length));
}

fs::path runningExecutableFile(const fs::path& installRoot, const fs::path& dataRoot) {
    const fs::path executable = executablePath();
    if (isWithin(executable, installRoot) || isWithin(executable, dataRoot))
        return executable;
    // Opened without backup semantics: a folder cannot be opened, so what opens is a file.
    FileHandle file(::CreateFileW(extendedPath(executable, false).c_str(), 0,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    BY_HANDLE_FILE_INFORMATION information{};
    require(file.valid() && ::GetFileInformationByHandle(file.get(), &information) &&
                !(information.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)),
            "Programmpfad nicht verfügbar.");
    const DWORD flags = FILE_NAME_NORMALIZED | VOLUME_NAME_DOS;
    const DWORD size = ::GetFinalPathNameByHandleW(file.get(), nullptr, 0, flags);
    require(size != 0, "Programmpfad nicht verfügbar.");
    std::wstring final(size, L'\0');
    const DWORD length = ::GetFinalPathNameByHandleW(file.get(), final.data(), size, flags);
    require(length != 0 && length < size, "Programmpfad nicht verfügbar.");
    final.resize(length);
    return fs::path(final);
}

fs::path installRootPath() {
    return (localAppDataPath() / "Programs/CORVALIS/TESSARO").make_preferred();
}
fs::path dataRootPath() {
    return (localAppDataPath() / "CORVALIS/TESSARO/Updater").make_preferred();
}
fs::path installedLauncherPath() {
    return (localAppDataPath() / "Programs/CORVALIS/TESSARO/TESSARO.exe").make_preferred();
}

} // namespace tess
