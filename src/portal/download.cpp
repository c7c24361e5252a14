#include "portal/download.hpp"

#include "foundation/changes.hpp"
#include "foundation/crypto.hpp"
#include "foundation/disk.hpp"
#include "foundation/error.hpp"
#include "foundation/handles.hpp"
#include "foundation/hash_workers.hpp"
#include "foundation/paths.hpp"
#include "foundation/sync.hpp"
#include "foundation/text.hpp"
#include "portal/download_request.hpp"

#include <algorithm>
#include <chrono>
#include <optional>
#include <thread>

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

// Progress of a transfer after every read, at most every 100 ms: a fast line would otherwise flood the
// window with lines, a slow one still moves the bar several times a second.
class ProgressPace {
  public:
    ProgressPace(const Progress& progress, std::uint64_t total) : progress_(progress), total_(total) {}

    // A forced line still never repeats the amount of the line before.
    void report(std::uint64_t done, bool force = false) {
        if (!progress_.report || done == lastDone_)
            return;
        const auto now = std::chrono::steady_clock::now();
        if (!force && now - last_ < interval)
            return;
        last_ = now;
        lastDone_ = done;
        progress_.report("Software wird heruntergeladen …", done, total_);
    }

  private:
    static constexpr std::chrono::milliseconds interval{100};
    const Progress& progress_;
    std::uint64_t total_;
    std::chrono::steady_clock::time_point last_{};
    std::optional<std::uint64_t> lastDone_;
};

// Flushes the download behind the writing, a slice at a time, on a thread of its own, so that the flush
// at the end covers only the tail. A failed slice fails that last flush.
class SliceFlusher {
  public:
    explicit SliceFlusher(HANDLE file) : file_(file), thread_([this] { work(); }) {}
    ~SliceFlusher() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        changed_.notifyAll();
    }
    SliceFlusher(const SliceFlusher&) = delete;
    SliceFlusher& operator=(const SliceFlusher&) = delete;

    // After bytes were written: starts a flush once a whole slice is written behind the last one.
    void written(std::uint32_t bytes) {
        unflushed_ += bytes;
        if (unflushed_ < sliceBytes)
            return;
        std::lock_guard lock(mutex_);
        if (requested_)
            return; // still flushing the last slice; this one joins the next
        requested_ = true;
        unflushed_ = 0;
        changed_.notifyAll();
    }

    // Waits for a flush under way; true when every slice flush succeeded.
    [[nodiscard]] bool settled() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return !requested_; });
        return !failed_;
    }

  private:
    static constexpr std::uint64_t sliceBytes = 64ull << 20;

    void work() {
        std::unique_lock lock(mutex_);
        for (;;) {
            changed_.wait(lock, [&] { return stopping_ || requested_; });
            if (stopping_)
                return;
            lock.unlock();
            const bool flushed = flushFile(file_);
            lock.lock();
            failed_ = failed_ || !flushed;
            requested_ = false;
            changed_.notifyAll();
        }
    }

    HANDLE file_;
    std::uint64_t unflushed_ = 0; // the writer's own count
    SlimMutex mutex_;
    SlimCondition changed_;
    bool requested_ = false;
    bool failed_ = false;
    bool stopping_ = false;
    std::jthread thread_; // last member: joined before the state above goes away
};

// How much one read asks for: about what the line delivers in a fifth of a second. WinHttpReadData may
// wait until it has all it was asked for (Wine's does), so on a slow line a read of a whole megabyte would
// keep a pause waiting for minutes; on a fast one small reads would cost a call per TLS record.
class ReadSize {
  public:
    [[nodiscard]] std::uint32_t next() const { return bytes_; }

    void took(std::chrono::steady_clock::duration spent) {
        if (spent < quick && bytes_ < downloadBufferBytes)
            bytes_ *= 2;
        else if (spent > slow && bytes_ > fewest)
            bytes_ /= 2;
    }

  private:
    static constexpr std::uint32_t fewest = 16384;
    static constexpr std::chrono::milliseconds quick{50};
    static constexpr std::chrono::milliseconds slow{200};
    std::uint32_t bytes_ = fewest;
};

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

    SliceFlusher slices(file.get()); // after the file: stopped and joined before the file is closed
    std::uint32_t filled = 0;
    ProgressPace pace(progress, size);
    // Writes and hashes what the block holds; also before a failure or a pause, so a resume keeps every
    // good byte.
    const auto storeBlock = [&] {
        if (filled == 0)
            return;
        DWORD written = 0;
        require(writeToFile(file.get(), hasher.block(), filled, written) && written == filled,
                "Speicher voll oder Downloadcache nicht schreibbar.");
        hasher.add(filled);
        slices.written(filled);
        present += filled;
        filled = 0;
        pace.report(present, true);
    };
    // The cancel flag is looked at before every read, and a read takes about a fifth of a second at most,
    // so that a slow line pauses at once; the block is written and hashed only when it is full.
    ReadSize readSize;
    for (;;) {
        if (progress.cancelled.load()) {
            storeBlock();
            throw Error("Download pausiert. Er kann später fortgesetzt werden.");
        }
        if (filled == downloadBufferBytes)
            storeBlock();
        std::uint32_t got = 0;
        const auto began = std::chrono::steady_clock::now();
        if (!read(request, hasher.block() + filled, std::min(readSize.next(), downloadBufferBytes - filled),
                  got)) {
            storeBlock();
            throw Error("Download unterbrochen. Er kann später fortgesetzt werden.");
        }
        if (got == 0)
            break;
        readSize.took(std::chrono::steady_clock::now() - began);
        if (got > size - present - filled) {
            storeBlock();
            throw Error("Download größer als signierte Paketgröße.");
        }
        filled += got;
        pace.report(present + filled);
    }
    storeBlock();
    require(slices.settled() && flushFile(file.get()), "Download konnte nicht dauerhaft gespeichert werden.");
    file.reset();
    require(present == size && hasher.finishHex() == sha256,
            "Download unvollständig oder beschädigt. Bitte erneut versuchen.");
}

} // namespace tess
