// One archive entry's data turned back into the file's bytes: stored or raw deflate through zlib, never
// more output than the directory's size, the CRC-32 checked once all data is in. Every failure is
// "ZIP-Daten beschädigt oder Speicher voll.". Writes nothing itself: output goes to the caller.
#pragma once

#include "install/zip_directory.hpp"

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace tess {

class EntryDecoder {
  public:
    using Sink = std::function<void(const char* data, size_t size)>;

    explicit EntryDecoder(const DirectoryEntry& entry);
    ~EntryDecoder();
    EntryDecoder(const EntryDecoder&) = delete;
    EntryDecoder& operator=(const EntryDecoder&) = delete;

    // The next compressed bytes; all calls together give at most the entry's compressed size.
    void feed(const char* data, size_t size, const Sink& sink);
    // After the last compressed byte: the output is whole and its CRC-32 is the directory's.
    void finish();

  private:
    void emit(const char* data, size_t size, const Sink& sink);
    void inflateInput(const char* data, size_t size, const Sink& sink);

    const DirectoryEntry& entry_;
    z_stream stream_{};
    bool inflating_ = false;
    bool ended_ = false;
    std::uint64_t consumed_ = 0;
    std::uint64_t produced_ = 0;
    uLong crc_ = 0;
    std::vector<char> output_;
};

} // namespace tess
