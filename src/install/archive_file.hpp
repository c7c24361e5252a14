// The release archive as minizip reads it: one open handle and two 64 KiB read buffers. minizip reads
// each header field on its own, and under Wine every read is a system call, so the buffers answer the
// small reads. This unit only reads; it never changes the archive.
#pragma once

#include "foundation/handles.hpp"

#include <unzip.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <vector>

namespace tess {

class ArchiveFile {
  public:
    // Throws "Archiv nicht lesbar." when the file cannot be opened for reading.
    explicit ArchiveFile(const std::filesystem::path& path);
    ArchiveFile(const ArchiveFile&) = delete;
    ArchiveFile& operator=(const ArchiveFile&) = delete;

    // minizip's reader over this file; null when it is no ZIP archive. Close it before this object.
    [[nodiscard]] unzFile openReader();

  private:
    struct Buffer {
        std::vector<char> bytes;
        std::uint64_t start = 0;
        std::uint64_t length = 0;
        std::uint64_t lastUse = 0;
        [[nodiscard]] bool holds(std::uint64_t position) const {
            return position >= start && position < start + length;
        }
    };

    std::uint64_t read(char* out, std::uint64_t size);
    bool fill(std::uint64_t position);
    long seek(std::uint64_t offset, int origin);

    static voidpf openCallback(voidpf opaque, const void* self, int mode);
    static uLong readCallback(voidpf opaque, voidpf stream, void* out, uLong size);
    static uLong writeCallback(voidpf opaque, voidpf stream, const void* data, uLong size);
    static ZPOS64_T tellCallback(voidpf opaque, voidpf stream);
    static long seekCallback(voidpf opaque, voidpf stream, ZPOS64_T offset, int origin);
    static int closeCallback(voidpf opaque, voidpf stream);
    static int errorCallback(voidpf opaque, voidpf stream);

    FileHandle file_;
    std::uint64_t size_ = 0;
    std::uint64_t position_ = 0;
    std::uint64_t uses_ = 0;
    bool failed_ = false;
    // One follows the central directory, the other the entry being read, so neither evicts the other.
    std::array<Buffer, 2> buffers_;
};

} // namespace tess
