#include "install/extract.hpp"

#include "foundation/changes.hpp"
#include "foundation/error.hpp"
#include "foundation/handles.hpp"
#include "foundation/hash_workers.hpp"
#include "foundation/paths.hpp"
#include "install/archive_file.hpp"
#include "install/archive_paths.hpp"
#include "install/verify.hpp"

#include <unzip.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <exception>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace tess {
namespace fs = std::filesystem;
namespace {

constexpr char unpacking[] = "Paket wird entpackt und geprüft";
constexpr std::uint64_t surplusEntryAllowance = 10'000;
constexpr unsigned long longestEntryName = 15'998;
constexpr size_t pieceSize = 1 << 20;
constexpr std::chrono::milliseconds hashWait{100};

// General purpose flags a plain reader cannot honour: encryption (traditional and strong) and patch data.
constexpr unsigned long encryptedFlag = 0x0001;
constexpr unsigned long patchDataFlag = 0x0020;
constexpr unsigned long strongEncryptionFlag = 0x0040;
constexpr unsigned long dosDirectoryAttribute = 0x10;

struct ZipReaderTraits {
    using Value = unzFile;
    static Value invalid() noexcept { return nullptr; }
    static void close(Value zip) noexcept { ::unzClose(zip); }
};
using ZipReader = UniqueHandle<ZipReaderTraits>;

struct ZipEntry {
    unz_file_info64 info{};
    std::string name;
    bool directory = false;
};

// State of one file entry while its data streams into the staging file.
struct WriteContext {
    HANDLE file;
    std::uint64_t expectedSize;
    std::uint64_t written;
    const std::atomic<bool>& cancel;
    PackageProgress& package;
    std::uint64_t bytesAtStart;
    std::uint64_t filesAtStart;
    const std::string& path;
    std::exception_ptr error;
};

// minizip reads encrypted data as ciphertext and maps unknown methods to raw copies without a CRC check,
// so both are refused here, before any data is touched.
bool isSupported(const unz_file_info64& info) {
    bool knownMethod = info.compression_method == 0 || info.compression_method == Z_DEFLATED;
    return knownMethod && (info.flag & (encryptedFlag | patchDataFlag | strongEncryptionFlag)) == 0;
}

ZipReader openReader(ArchiveFile& archive) {
    ZipReader zip(archive.openReader());
    require(zip.valid(), "ZIP-Archiv beschädigt.");
    return zip;
}

ZipEntry readEntry(unzFile zip, std::uint64_t index) {
    ZipEntry entry;
    bool positioned = (index == 0 ? ::unzGoToFirstFile(zip) : ::unzGoToNextFile(zip)) == UNZ_OK;
    bool described = positioned && ::unzGetCurrentFileInfo64(zip, &entry.info, nullptr, 0, nullptr, 0,
                                                             nullptr, 0) == UNZ_OK;
    require(described && isSupported(entry.info), "Nicht unterstützter ZIP-Eintrag.");

    unsigned long length = entry.info.size_filename;
    require(length >= 1 && length <= longestEntryName, "Ungültiger ZIP-Dateiname.");
    std::vector<char> name(length + 1, '\0');
    require(::unzGetCurrentFileInfo64(zip, nullptr, name.data(), length + 1, nullptr, 0, nullptr, 0) ==
                UNZ_OK,
            "Ungültiger ZIP-Dateiname.");
    entry.name.assign(name.data(), length);
    require(entry.name.find('\0') == std::string::npos, "Nullzeichen im ZIP-Namen.");

    bool slashEnded = entry.name.back() == '/';
    entry.directory = slashEnded || (entry.info.external_fa & dosDirectoryAttribute) != 0;
    if (entry.directory && slashEnded)
        entry.name.pop_back();
    return entry;
}

// Only plain files and folders: the Unix type bits of a link, device or pipe refuse the entry.
void refuseLinkEntry(const ZipEntry& entry) {
    unsigned long type = (entry.info.external_fa >> 16) & 0xF000;
    bool plain = type == 0 || type == 0x8000 || (type == 0x4000 && entry.directory);
    require(plain, "ZIP-Verknüpfungen sind nicht erlaubt.");
}

// Called for each decompressed piece in order. Errors are kept for the caller, because they must not
// unwind through the C library.
size_t writePiece(WriteContext& context, std::uint64_t offset, const char* data, size_t size) noexcept {
    try {
        context.package.checkCancelled();
        if (context.cancel.load())
            return 0;
        if (offset != context.written || size > context.expectedSize - context.written)
            return 0;
        DWORD done = 0;
        if (!writeToFile(context.file, data, static_cast<DWORD>(size), done))
            return 0;
        context.written += done;
        context.package.reportLine(unpacking, context.bytesAtStart + context.written, context.filesAtStart,
                                   context.path, false, false);
        return done;
    } catch (...) {
        context.error = std::current_exception();
        return 0;
    }
}

// Streams the current entry through the write function. minizip reports a CRC-32 mismatch only when
// the entry is closed after all its data was read, so the close result decides.
bool streamEntry(unzFile zip, WriteContext& context, std::vector<char>& buffer) {
    if (::unzOpenCurrentFile(zip) != UNZ_OK)
        return false;
    bool complete = true;
    std::uint64_t offset = 0;
    for (;;) {
        int read = ::unzReadCurrentFile(zip, buffer.data(), static_cast<unsigned>(buffer.size()));
        if (read == 0)
            break;
        if (read < 0 || writePiece(context, offset, buffer.data(), static_cast<size_t>(read)) !=
                            static_cast<size_t>(read)) {
            complete = false;
            break;
        }
        offset += static_cast<std::uint64_t>(read);
    }
    int closed = ::unzCloseCurrentFile(zip);
    return complete && closed == UNZ_OK;
}

class Extraction {
  public:
    Extraction(const fs::path& target, const CompactManifest& manifest, const std::atomic<bool>& cancel,
               PackageProgress& package)
        : target_(target), manifest_(manifest), cancel_(cancel), package_(package), buffer_(pieceSize),
          expectedLeft_(manifest.fileCount()),
          workers_({&cancel, package.sinkCancelFlag()},
                   HashWorkers::poolFor(manifest.fileCount(), manifest.unpackedSize(), true)) {}

    void run(unzFile zip) {
        try {
            unpackAll(zip);
        } catch (...) {
            // A cancel is what the user asked for, whatever else went wrong meanwhile.
            package_.checkCancelled();
            throw;
        }
    }

  private:
    void unpackAll(unzFile zip) {
        unz_global_info64 global{};
        require(::unzGetGlobalInfo64(zip, &global) == UNZ_OK, "ZIP-Archiv beschädigt.");
        require(global.number_entry <= manifest_.fileCount() + surplusEntryAllowance,
                "Zu viele ZIP-Einträge.");
        for (std::uint64_t index = 0; index < global.number_entry; ++index) {
            try {
                package_.checkCancelled();
                handleEntry(zip, readEntry(zip, index));
            } catch (...) {
                // A file written before this entry may have failed its hash: that failure comes first.
                takeAllHashes();
                throw;
            }
        }
        takeAllHashes();
        require(expectedLeft_ == 0, "Dateien fehlen im Archiv.");
        package_.reportLine("Paket vollständig entpackt und geprüft", bytes_, files_, {}, true, true);
    }

    // A written and closed file whose hash a worker thread computes while the next entry is unpacked.
    struct Written {
        std::string path;
        std::uint64_t size;
        std::size_t listed; // the manifest's entry
    };

    void handleEntry(unzFile zip, const ZipEntry& entry) {
        std::wstring relative = checkArchivePath(entry.name);
        std::wstring key = foldAsciiCase(relative);
        require(seen_.insert(key).second, "Doppelte ZIP-Pfade.");
        refuseLinkEntry(entry);
        fs::path full = extendedPath(target_ / fs::path(relative).make_preferred(), false);
        // A file's own name is not looked at: CREATE_NEW refuses any name that exists, a link included.
        refuseReparsePointsBelow(target_, entry.directory ? full : full.parent_path());
        if (entry.directory) {
            // Folders need not be listed; they can only be empty here.
            require(entry.info.uncompressed_size == 0, "Ungültiger ZIP-Ordner.");
            createDirectoriesBelow(target_, full);
            return;
        }
        // Names and listed paths compare with A to Z folded, as the keys above do, so no listed file can
        // be met twice.
        const std::size_t listed = manifest_.findFolded(entry.name);
        require(listed != CompactManifest::none && manifest_.sizeEquals(listed, entry.info.uncompressed_size),
                "ZIP-Inhalt stimmt nicht mit Manifest überein.");
        createDirectoriesBelow(target_, full.parent_path());
        FileHandle written = writeFile(zip, entry, full);
        while (workers_.full())
            takeHash();
        // Flushed, closed and then hashed from the disk on a worker thread, so what is checked is what
        // stays, while this thread unpacks the next entry.
        workers_.add(std::move(full), std::move(written));
        written_.push_back({entry.name, entry.info.uncompressed_size, listed});
        --expectedLeft_;
    }

    FileHandle writeFile(unzFile zip, const ZipEntry& entry, const fs::path& full) {
        const std::uint64_t size = entry.info.uncompressed_size;
        FileHandle file =
            createFileForWriting(full, 0, CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT);
        require(file.valid(), "Datei nicht schreibbar.");
        WriteContext context{file.get(), size, 0, cancel_, package_, unpacked_, files_, entry.name, nullptr};
        bool streamed = streamEntry(zip, context, buffer_);
        if (context.error)
            std::rethrow_exception(context.error);
        package_.checkCancelled();
        require(streamed && context.written == size, "ZIP-Daten beschädigt oder Speicher voll.");
        unpacked_ += size;
        return file;
    }

    // Compares the oldest written file's hash once it is ready; counts the file only when it matched.
    // The result and its file leave their queues together before anything is checked, so that a check
    // that throws can never pair a later result with this file.
    void takeHash() {
        std::optional<FileHash> hash = workers_.takeOldest(hashWait);
        if (!hash)
            return package_.reportLine(unpacking, unpacked_, files_, written_.front().path, false, false);
        const Written file = std::move(written_.front());
        written_.pop_front();
        require(!hash->flushFailed, "ZIP-Daten beschädigt oder Speicher voll.");
        if (hash->error)
            std::rethrow_exception(hash->error);
        require(hash->sha256 == manifest_.sha256Hex(file.listed), "Entpackter Dateiinhalt ist manipuliert.");
        bytes_ += file.size;
        ++files_;
        package_.reportLine(unpacking, unpacked_, files_, file.path, false, false);
    }

    void takeAllHashes() {
        while (!written_.empty())
            takeHash();
    }

    const fs::path& target_;
    const CompactManifest& manifest_;
    const std::atomic<bool>& cancel_;
    PackageProgress& package_;
    std::vector<char> buffer_;
    std::size_t expectedLeft_; // listed files not met yet
    std::set<std::wstring> seen_;
    std::uint64_t unpacked_ = 0; // bytes written, the progress amount
    std::uint64_t bytes_ = 0;    // bytes whose hash matched
    std::uint64_t files_ = 0;    // files whose hash matched
    std::deque<Written> written_;
    HashWorkers workers_; // after everything its threads read: stopped and joined first
};

} // namespace

void extractArchive(const fs::path& archive, const fs::path& target, const CompactManifest& manifest,
                    const std::atomic<bool>& cancel, Progress* progress) {
    PackageProgress package(progress, &cancel, manifest);
    package.reportLine(unpacking, 0, 0, manifest.path(0), true, false);

    fs::path root = extendedPath(target, false);
    require(::GetFileAttributesW(root.c_str()) == INVALID_FILE_ATTRIBUTES, "Zielordner existiert bereits.");
    ensurePrivateDirectory(root);

    ArchiveFile file(extendedPath(archive, false));
    ZipReader zip = openReader(file);
    Extraction extraction(root, manifest, cancel, package);
    extraction.run(zip.get());
}

void extractArchive(const fs::path& archive, const fs::path& target, const Json& manifest,
                    const std::atomic<bool>& cancel, Progress* progress) {
    extractArchive(archive, target, compactManifest(manifest), cancel, progress);
}

} // namespace tess
