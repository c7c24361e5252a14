// The structures of a release archive read from parts fetched by range, before anything authenticates
// them: the end records, the central directory and each entry's local header. Every count and size is
// bounded by the signed manifest. A directory that does not agree with the manifest or the archive rules
// only means the whole archive is fetched instead; a local header that differs from its directory entry
// is damage. Nothing here touches a file.
#pragma once

#include "foundation/json.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tess {

struct ZipEnd {
    std::uint64_t directoryOffset = 0;
    std::uint64_t directorySize = 0;
    std::uint64_t entryCount = 0;
};

// The archive's last bytes that hold its end records even with the longest comment: the end record with
// 65,535 bytes of comment, the ZIP64 locator and the ZIP64 end record.
inline constexpr std::uint64_t zipTailBytes = 22 + 65535 + 20 + 56;
inline constexpr std::uint64_t localHeaderFixedBytes = 30;

// The end records in the archive's last bytes (tail ends where the archive ends). Nothing when they do
// not describe one single-disk archive whose directory lies right before them and whose entry count and
// directory size the manifest allows.
std::optional<ZipEnd> readZipEnd(std::string_view tail, std::uint64_t archiveSize, const Json& manifest);

struct DirectoryEntry {
    std::string name;  // as stored, a folder's trailing slash included
    std::wstring path; // the checked package path ("/" separators, no trailing slash)
    bool directory = false;
    std::uint16_t flags = 0;
    std::uint16_t method = 0;
    std::uint32_t crc32 = 0;
    std::uint64_t compressedSize = 0;
    std::uint64_t size = 0;
    std::uint64_t headerOffset = 0;
    // Where the entry's bytes end at the latest: the next local header, the directory, or the largest
    // header and data descriptor its sizes allow, whichever comes first.
    std::uint64_t extentEnd = 0;
    const Json* listed = nullptr; // the manifest entry of a file
};

// The entries in archive order, every manifest file exactly once. Nothing when the directory breaks a
// rule the extraction enforces (names, duplicates, links, folders with data, methods, encryption, sizes
// and entries the manifest does not list) or its entries overlap.
std::optional<std::vector<DirectoryEntry>> readCentralDirectory(std::string_view directory, const ZipEnd& end,
                                                                const Json& manifest);

// The length of name and extra field that follow the fixed part of a local header (30 bytes).
std::uint64_t localHeaderVariableBytes(std::string_view fixed);
// The whole local header must say what the directory says: name byte for byte, method, sizes and CRC
// (sizes and CRC may be left to a data descriptor). Throws "ZIP-Daten beschädigt oder Speicher voll.".
void checkLocalHeader(std::string_view header, const DirectoryEntry& entry);

} // namespace tess
