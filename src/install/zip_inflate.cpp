#include "install/zip_inflate.hpp"

#include "foundation/error.hpp"

#include <algorithm>

namespace tess {
namespace {

constexpr char damaged[] = "ZIP-Daten beschädigt oder Speicher voll.";
constexpr size_t outputBytes = 256 * 1024;
constexpr std::uint16_t deflatedMethod = 8;

} // namespace

EntryDecoder::EntryDecoder(const DirectoryEntry& entry) : entry_(entry), crc_(::crc32(0, Z_NULL, 0)) {
    if (entry.method != deflatedMethod)
        return;
    // Raw deflate: ZIP entries carry no zlib header.
    require(::inflateInit2(&stream_, -MAX_WBITS) == Z_OK, damaged);
    inflating_ = true;
    output_.resize(outputBytes);
}

EntryDecoder::~EntryDecoder() {
    if (inflating_)
        ::inflateEnd(&stream_);
}

void EntryDecoder::emit(const char* data, size_t size, const Sink& sink) {
    require(size <= entry_.size - produced_, damaged);
    crc_ = ::crc32_z(crc_, reinterpret_cast<const Bytef*>(data), size);
    produced_ += size;
    sink(data, size);
}

void EntryDecoder::feed(const char* data, size_t size, const Sink& sink) {
    require(size <= entry_.compressedSize - consumed_, damaged);
    consumed_ += size;
    if (inflating_)
        inflateInput(data, size, sink);
    else
        emit(data, size, sink);
}

// Output is asked for one byte beyond the expected size at most, so a stream that would grow past it
// is caught after that byte instead of being inflated on.
void EntryDecoder::inflateInput(const char* data, size_t size, const Sink& sink) {
    require(!ended_ || size == 0, damaged);
    stream_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
    stream_.avail_in = static_cast<uInt>(size);
    while (stream_.avail_in > 0 && !ended_) {
        const std::uint64_t room = entry_.size - produced_ + 1;
        stream_.next_out = reinterpret_cast<Bytef*>(output_.data());
        stream_.avail_out = static_cast<uInt>(std::min<std::uint64_t>(output_.size(), room));
        const int result = ::inflate(&stream_, Z_NO_FLUSH);
        require(result == Z_OK || result == Z_STREAM_END, damaged);
        ended_ = result == Z_STREAM_END;
        emit(output_.data(), static_cast<size_t>(reinterpret_cast<char*>(stream_.next_out) - output_.data()),
             sink);
    }
    // Nothing may follow the end of the deflate stream within the entry's data.
    require(stream_.avail_in == 0, damaged);
}

void EntryDecoder::finish() {
    require(consumed_ == entry_.compressedSize && produced_ == entry_.size && (!inflating_ || ended_) &&
                crc_ == entry_.crc32,
            damaged);
}

} // namespace tess
