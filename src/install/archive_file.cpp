#include "install/archive_file.hpp"

#include "foundation/error.hpp"

#include <algorithm>
#include <cstring>

namespace tess {
namespace {

constexpr size_t bufferBytes = 1 << 16;

ArchiveFile& fileOf(voidpf stream) {
    return *static_cast<ArchiveFile*>(stream);
}

} // namespace

ArchiveFile::ArchiveFile(const std::filesystem::path& path)
    : file_(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr)) {
    require(file_.valid(), "Archiv nicht lesbar.");
    LARGE_INTEGER size{};
    require(::GetFileSizeEx(file_.get(), &size), "Archiv nicht lesbar.");
    size_ = static_cast<std::uint64_t>(size.QuadPart);
    for (Buffer& buffer : buffers_)
        buffer.bytes.resize(bufferBytes);
}

unzFile ArchiveFile::openReader() {
    zlib_filefunc64_def functions{openCallback, readCallback,  writeCallback, tellCallback,
                                  seekCallback, closeCallback, errorCallback, nullptr};
    // minizip hands its "file name" to the open function unchanged: here it is this object.
    return ::unzOpen2_64(this, &functions);
}

std::uint64_t ArchiveFile::read(char* out, std::uint64_t size) {
    std::uint64_t done = 0;
    while (done < size && position_ < size_) {
        auto holding = std::find_if(buffers_.begin(), buffers_.end(),
                                    [this](const Buffer& buffer) { return buffer.holds(position_); });
        if (holding == buffers_.end()) {
            if (!fill(position_))
                break;
            continue;
        }
        const std::uint64_t offset = position_ - holding->start;
        const std::uint64_t take = std::min(size - done, holding->length - offset);
        std::memcpy(out + done, holding->bytes.data() + offset, take);
        holding->lastUse = ++uses_;
        done += take;
        position_ += take;
    }
    return done;
}

// A read that continues where a buffer ends refills that buffer; any other refills the one used least
// recently.
bool ArchiveFile::fill(std::uint64_t position) {
    auto continued = std::find_if(buffers_.begin(), buffers_.end(), [position](const Buffer& buffer) {
        return buffer.length > 0 && buffer.start + buffer.length == position;
    });
    Buffer& buffer =
        continued != buffers_.end()
            ? *continued
            : *std::min_element(buffers_.begin(), buffers_.end(),
                                [](const Buffer& a, const Buffer& b) { return a.lastUse < b.lastUse; });
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(position);
    at.OffsetHigh = static_cast<DWORD>(position >> 32);
    DWORD got = 0;
    const bool read =
        ::ReadFile(file_.get(), buffer.bytes.data(), static_cast<DWORD>(buffer.bytes.size()), &got, &at) &&
        got > 0;
    buffer.start = position;
    buffer.length = read ? got : 0;
    failed_ = failed_ || !read;
    return read;
}

long ArchiveFile::seek(std::uint64_t offset, int origin) {
    std::uint64_t base = 0;
    if (origin == ZLIB_FILEFUNC_SEEK_CUR)
        base = position_;
    else if (origin == ZLIB_FILEFUNC_SEEK_END)
        base = size_;
    else if (origin != ZLIB_FILEFUNC_SEEK_SET)
        return -1;
    position_ = base + offset;
    return 0;
}

voidpf ArchiveFile::openCallback(voidpf, const void* self, int mode) {
    return (mode & ZLIB_FILEFUNC_MODE_READWRITEFILTER) == ZLIB_FILEFUNC_MODE_READ ? const_cast<void*>(self)
                                                                                  : nullptr;
}

uLong ArchiveFile::readCallback(voidpf, voidpf stream, void* out, uLong size) {
    return static_cast<uLong>(fileOf(stream).read(static_cast<char*>(out), size));
}

uLong ArchiveFile::writeCallback(voidpf, voidpf, const void*, uLong) {
    return 0;
}

ZPOS64_T ArchiveFile::tellCallback(voidpf, voidpf stream) {
    return fileOf(stream).position_;
}

long ArchiveFile::seekCallback(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
    return fileOf(stream).seek(offset, origin);
}

// The handle belongs to the object, which outlives the reader.
int ArchiveFile::closeCallback(voidpf, voidpf) {
    return 0;
}

int ArchiveFile::errorCallback(voidpf, voidpf stream) {
    return fileOf(stream).failed_ ? 1 : 0;
}

} // namespace tess
