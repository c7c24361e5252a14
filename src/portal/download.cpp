#include "portal/download.hpp"

#include "foundation/changes.hpp"
#include "foundation/crypto.hpp"
#include "foundation/disk.hpp"
#include "foundation/error.hpp"
#include "foundation/handles.hpp"
#include "foundation/hash_workers.hpp"
#include "foundation/paths.hpp"
#include "foundation/text.hpp"
#include "portal/download_request.hpp"

#include <algorithm>

namespace tess {
namespace fs = std::filesystem;
namespace {

std::uint64_t presentLength(const fs::path& path) {
    return queryEntry(path, "file_size").size;
}

// A file of exactly the signed length is either the finished download or garbage: the hash decides.
bool alreadyComplete(const fs::path& path, std::uint64_t size, const std::string& sha256) {
    const DiskEntry entry = queryEntry(path, "file_size");
    return entry.exists && entry.size == size && sha256FileHex(path, nullptr, {}) == sha256;
}

// The kept part of an interrupted download, hashed before the rest is appended.
void hashKeptPart(const fs::path& path, std::uint64_t present, BlockHasher& hasher,
                  const Progress& progress) {
    FileHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    require(file.valid(), "Download kann nicht fortgesetzt werden.");
    while (present > 0) {
        require(!progress.cancelled.load(), "Download pausiert. Er kann später fortgesetzt werden.");
        DWORD read = 0;
        const auto wanted = static_cast<DWORD>(std::min<std::uint64_t>(present, hasher.blockBytes()));
        require(::ReadFile(file.get(), hasher.block(), wanted, &read, nullptr) && read == wanted,
                "Download kann nicht fortgesetzt werden.");
        hasher.add(read);
        present -= read;
    }
}

std::wstring rangeHeaders(std::uint64_t present, const std::string& sha256) {
    if (present == 0)
        return {};
    return L"Range: bytes=" + std::to_wstring(present) + L"-\r\nIf-Range: \"" + toWide(sha256) + L"\"\r\n";
}

// Opens the request; a first 401 renews the token once and asks again.
PortalRequest requestFile(const std::string& apiPath, std::uint64_t present, const std::string& sha256,
                          std::string& token, const std::function<std::string()>& renew,
                          std::int32_t& status) {
    PortalRequest request = openDownloadRequest(apiPath, rangeHeaders(present, sha256), token, renew, status);
    if (status != 200 && status != 206)
        refuseDownloadStatus(status);
    return request;
}

// Every header that describes the answer must agree with the signed size and hash; returns the offset
// at which the body starts.
std::uint64_t checkAnswer(const PortalRequest& request, std::int32_t status, std::uint64_t present,
                          std::uint64_t size, const std::string& sha256) {
    require(queryHeader(request, WINHTTP_QUERY_ETAG) == "\"" + sha256 + "\"",
            "Paketkennung wurde geändert. Kein Fortsetzen erlaubt.");
    if (status == 206) {
        require(present > 0, "Unerwartete Teilantwort.");
        require(queryHeader(request, WINHTTP_QUERY_CONTENT_RANGE) == "bytes " + std::to_string(present) +
                                                                         "-" + std::to_string(size - 1) +
                                                                         "/" + std::to_string(size),
                "Falscher Downloadabschnitt.");
    } else {
        present = 0;
    }
    require(queryHeader(request, WINHTTP_QUERY_CONTENT_LENGTH) == std::to_string(size - present),
            "Downloadlänge stimmt nicht mit dem signierten Abschnitt überein.");
    return present;
}

} // namespace

bool readWinHttpBody(const PortalRequest& request, char* buffer, std::uint32_t capacity,
                     std::uint32_t& read) {
    DWORD got = 0;
    const bool ok = ::WinHttpReadData(request.request.get(), buffer, capacity, &got);
    read = got;
    return ok;
}

void downloadArtifact(const std::string& apiPath, const fs::path& partialPath, const Json& artifact,
                      std::string& token, const std::function<std::string()>& renew, Progress& progress,
                      const BodyReader& read) {
    refuseReparsePoints(partialPath);
    const fs::path path = extendedPath(partialPath, false);
    const auto size = artifact.at("size").get<std::uint64_t>();
    const auto sha256 = artifact.at("sha256").get<std::string>();

    std::uint64_t present = presentLength(path);
    if (present == size && alreadyComplete(path, size, sha256))
        return;
    if (present >= size && pathExists(path)) {
        require(deleteFile(path), "Defekter Downloadcache konnte nicht entfernt werden.");
        present = 0;
    }

    // The bytes are hashed as they are written, on a second thread while the next block is read, so the
    // finished file needs no second reading.
    BlockHasher hasher(downloadBufferBytes);
    if (present > 0)
        hashKeptPart(path, present, hasher, progress);

    std::int32_t status = 0;
    const PortalRequest request = requestFile(apiPath, present, sha256, token, renew, status);
    present = checkAnswer(request, status, present, size, sha256);
    if (present == 0)
        hasher.restart(); // the portal starts the file again

    FileHandle file = createFileForWriting(path, 0, present > 0 ? OPEN_EXISTING : CREATE_ALWAYS,
                                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT);
    require(file.valid(), "Downloadcache nicht schreibbar.");
    LARGE_INTEGER offset{};
    offset.QuadPart = static_cast<LONGLONG>(present);
    require(::SetFilePointerEx(file.get(), offset, nullptr, FILE_BEGIN),
            "Download kann nicht fortgesetzt werden.");

    std::uint32_t filled = 0;
    // Writes and hashes what the block holds; also before a failure, so a resume keeps every good byte.
    const auto storeBlock = [&] {
        if (filled == 0)
            return;
        DWORD written = 0;
        require(::WriteFile(file.get(), hasher.block(), filled, &written, nullptr) && written == filled,
                "Speicher voll oder Downloadcache nicht schreibbar.");
        hasher.add(filled);
        present += filled;
        filled = 0;
        if (progress.report)
            progress.report("Software wird heruntergeladen …", present, size);
    };
    for (bool ended = false; !ended;) {
        require(!progress.cancelled.load(), "Download pausiert. Er kann später fortgesetzt werden.");
        // WinHTTP hands out little more than one TLS record per call; the block is filled before it is
        // written and hashed.
        while (filled < downloadBufferBytes) {
            std::uint32_t got = 0;
            if (!read(request, hasher.block() + filled, downloadBufferBytes - filled, got)) {
                storeBlock();
                throw Error("Download unterbrochen. Er kann später fortgesetzt werden.");
            }
            if (got == 0) {
                ended = true;
                break;
            }
            if (got > size - present - filled) {
                storeBlock();
                throw Error("Download größer als signierte Paketgröße.");
            }
            filled += got;
        }
        storeBlock();
    }
    require(::FlushFileBuffers(file.get()), "Download konnte nicht dauerhaft gespeichert werden.");
    file.reset();
    require(present == size && hasher.finishHex() == sha256,
            "Download unvollständig oder beschädigt. Bitte erneut versuchen.");
}

} // namespace tess
