// Entries of a release archive fetched by range into a staging folder: the archive's end and central
// directory first, then only the wanted entries' local headers and data, neighbours sharing a request
// when little lies between them. Every entry is checked against its directory record, decoded with its
// CRC-32 and proven by its SHA-256 before it counts; an entry that fails leaves nothing behind.
#pragma once

#include "foundation/json.hpp"
#include "install/staged_files.hpp"
#include "install/zip_directory.hpp"
#include "portal/range_fetch.hpp"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

namespace tess {

struct ArchiveDirectory {
    ZipEnd end;
    std::vector<DirectoryEntry> entries; // in archive order
};

// The end and the central directory in one or two requests. Nothing when an answer is not the range
// asked for or the directory does not agree with the manifest: the whole archive is fetched then.
std::optional<ArchiveDirectory> fetchArchiveDirectory(RangeSource& source, const Json& manifest);

struct FetchSpan {
    std::uint64_t first = 0;
    std::uint64_t last = 0; // inclusive
    std::vector<const DirectoryEntry*> entries;
};

// One span per entry, from its local header to the end of its extent; neighbours are joined when the
// bytes between them are few (together at most a sixteenth of what is wanted), and the smallest gaps
// are joined until there are no more spans than maxSpans (at least 1).
std::vector<FetchSpan> planSpans(std::vector<const DirectoryEntry*> wanted, unsigned maxSpans);

// Fetches the spans and writes each entry's file below stage, handing it to staged for its hash. False
// when an answer is not the range asked for; throws "ZIP-Daten beschädigt oder Speicher voll." for a
// header, data or CRC that does not hold, after removing that entry's file.
[[nodiscard]] bool fetchEntries(RangeSource& source, const std::vector<FetchSpan>& spans,
                                const std::filesystem::path& stage, StagedFiles& staged);

} // namespace tess
