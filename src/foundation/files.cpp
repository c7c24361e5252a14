#include "foundation/files.hpp"

#include "foundation/changes.hpp"
#include "foundation/crypto.hpp"
#include "foundation/error.hpp"
#include "foundation/handles.hpp"
#include "foundation/paths.hpp"
#include "foundation/text.hpp"

#include <algorithm>
#include <limits>
#include <system_error>

namespace tess {
namespace fs = std::filesystem;

void writeFileDurably(const fs::path& path, std::string_view content) {
    fs::path target = extendedPath(path, false);
    refuseReparsePoints(target);
    createDirectories(target.parent_path());

    fs::path temporary = extendedPath(fs::path(target.native() + L"." + toWide(randomId()) + L".tmp"), false);
    {
        FileHandle file = createFileForWriting(temporary, 0, CREATE_NEW, FILE_ATTRIBUTE_NORMAL);
        require(file.valid() && file.get() != nullptr, "Datei nicht schreibbar.");
        DWORD written = 0;
        bool fits = content.size() <= std::numeric_limits<DWORD>::max();
        bool ok = fits &&
                  writeToFile(file.get(), content.data(), static_cast<DWORD>(content.size()), written) &&
                  written == content.size() && flushFile(file.get());
        require(ok, "Datei konnte nicht dauerhaft geschrieben werden.");
    }
    require(moveFile(temporary, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH),
            "Dateiwechsel fehlgeschlagen; vorheriger Stand bleibt erhalten.");
}

bool flushFileToDisk(const fs::path& path) {
    FileHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return file.valid() && flushFile(file.get());
}

std::string readWholeFile(const fs::path& path, std::uint64_t byteLimit) {
    FileHandle file(::CreateFileW(path.c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    require(file.valid(), "Datei nicht lesbar.");
    std::string content;
    char buffer[65536];
    while (content.size() < byteLimit) {
        const DWORD wanted =
            static_cast<DWORD>(std::min<std::uint64_t>(sizeof buffer, byteLimit - content.size()));
        DWORD read = 0;
        require(::ReadFile(file.get(), buffer, wanted, &read, nullptr), "Datei nicht lesbar.");
        if (read == 0)
            break;
        content.append(buffer, read);
    }
    return content;
}

} // namespace tess
