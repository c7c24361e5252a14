#include "install/zip_directory.hpp"

#include "foundation/error.hpp"
#include "install/archive_paths.hpp"
#include "install/verify.hpp"

#include <algorithm>
#include <map>
#include <set>

namespace tess {
namespace {

constexpr std::uint32_t endSignature = 0x06054b50;
constexpr std::uint32_t zip64LocatorSignature = 0x07064b50;
constexpr std::uint32_t zip64EndSignature = 0x06064b50;
constexpr std::uint32_t centralSignature = 0x02014b50;
constexpr std::uint32_t localSignature = 0x04034b50;
constexpr std::uint64_t endBytes = 22;
constexpr std::uint64_t zip64LocatorBytes = 20;
constexpr std::uint64_t zip64EndBytes = 56;
constexpr std::uint64_t centralFixedBytes = 46;
constexpr std::uint16_t zip64ExtraId = 0x0001;
constexpr std::uint32_t marker32 = 0xFFFFFFFF;
constexpr std::uint16_t marker16 = 0xFFFF;

// The same limits the extraction keeps: entries beyond the manifest's files, the longest name.
constexpr std::uint64_t surplusEntryAllowance = 10'000;
constexpr size_t longestEntryName = 15'998;
// A directory record holds at most a checked path (240 bytes) and a folder's slash; the allowance for
// extra fields and comment is generous for every known writer. A larger directory is not parsed.
constexpr std::uint64_t longestDirectoryRecord = centralFixedBytes + 241 + 256;
constexpr std::uint64_t longestLocalExtra = 65535;
constexpr std::uint64_t longestDataDescriptor = 24;

constexpr std::uint16_t encryptedFlag = 0x0001;
constexpr std::uint16_t dataDescriptorFlag = 0x0008;
constexpr std::uint16_t patchDataFlag = 0x0020;
constexpr std::uint16_t strongEncryptionFlag = 0x0040;
constexpr std::uint32_t dosDirectoryAttribute = 0x10;
constexpr std::uint16_t storedMethod = 0;
constexpr std::uint16_t deflatedMethod = 8;

constexpr char damaged[] = "ZIP-Daten beschädigt oder Speicher voll.";

// Little-endian fields; callers have checked that the bytes are there.
std::uint16_t u16(std::string_view bytes, size_t at) {
    return static_cast<std::uint16_t>(static_cast<unsigned char>(bytes[at]) |
                                      static_cast<unsigned char>(bytes[at + 1]) << 8);
}
std::uint32_t u32(std::string_view bytes, size_t at) {
    return static_cast<std::uint32_t>(u16(bytes, at)) | static_cast<std::uint32_t>(u16(bytes, at + 2)) << 16;
}
std::uint64_t u64(std::string_view bytes, size_t at) {
    return static_cast<std::uint64_t>(u32(bytes, at)) | static_cast<std::uint64_t>(u32(bytes, at + 4)) << 32;
}

// The data of the ZIP64 extra block, or nothing when there is none or the blocks do not add up.
std::optional<std::string_view> zip64Block(std::string_view extra) {
    while (extra.size() >= 4) {
        const std::uint16_t id = u16(extra, 0);
        const std::uint16_t length = u16(extra, 2);
        if (length > extra.size() - 4)
            return std::nullopt;
        if (id == zip64ExtraId)
            return extra.substr(4, length);
        extra.remove_prefix(4 + length);
    }
    return std::nullopt;
}

// Replaces each field that holds the marker by the next value of the ZIP64 block, in the fixed order
// of the fields; false when the block is missing or too short.
template <class... Fields> bool widenFromZip64(std::string_view extra, Fields&... fields) {
    if (((fields != marker32) && ...))
        return true;
    const std::optional<std::string_view> block = zip64Block(extra);
    if (!block)
        return false;
    size_t at = 0;
    bool complete = true;
    const auto widen = [&](std::uint64_t& field) {
        if (field != marker32)
            return;
        if (at + 8 > block->size()) {
            complete = false;
            return;
        }
        field = u64(*block, at);
        at += 8;
    };
    (widen(fields), ...);
    return complete;
}

bool isBlockedFlag(std::uint16_t flags) {
    return (flags & (encryptedFlag | patchDataFlag | strongEncryptionFlag)) != 0;
}

struct EndRecord {
    std::uint64_t disk, directoryDisk, entriesOnDisk, entries, directorySize, directoryOffset;
    std::uint64_t at; // absolute offset of the record the directory must end at
};

// The end record is the one whose comment reaches exactly to the archive's end.
std::optional<size_t> findEndRecord(std::string_view tail) {
    if (tail.size() < endBytes)
        return std::nullopt;
    const size_t lowest = tail.size() > endBytes + 65535 ? tail.size() - endBytes - 65535 : 0;
    for (size_t at = tail.size() - endBytes;; --at) {
        if (u32(tail, at) == endSignature && at + endBytes + u16(tail, at + 20) == tail.size())
            return at;
        if (at == lowest)
            return std::nullopt;
    }
}

std::optional<EndRecord> readEndRecords(std::string_view tail, std::uint64_t archiveSize) {
    const std::optional<size_t> at = findEndRecord(tail);
    if (!at)
        return std::nullopt;
    const std::uint64_t tailStart = archiveSize - tail.size();
    EndRecord end{u16(tail, *at + 4),  u16(tail, *at + 6),  u16(tail, *at + 8), u16(tail, *at + 10),
                  u32(tail, *at + 12), u32(tail, *at + 16), tailStart + *at};
    if (*at < zip64LocatorBytes || u32(tail, *at - zip64LocatorBytes) != zip64LocatorSignature)
        return end;

    const size_t locator = *at - zip64LocatorBytes;
    const std::uint64_t recordOffset = u64(tail, locator + 8);
    if (u32(tail, locator + 4) != 0 || u32(tail, locator + 16) != 1 || recordOffset < tailStart)
        return std::nullopt;
    const std::uint64_t record = recordOffset - tailStart;
    // The record, with any extensible data, lies right before its locator.
    if (record + zip64EndBytes > locator || u32(tail, record) != zip64EndSignature ||
        record + 12 + u64(tail, record + 4) != locator)
        return std::nullopt;
    return EndRecord{u32(tail, record + 16),
                     u32(tail, record + 20),
                     u64(tail, record + 24),
                     u64(tail, record + 32),
                     u64(tail, record + 40),
                     u64(tail, record + 48),
                     recordOffset};
}

// Manifest key (as the extraction folds it) -> manifest entry.
std::map<std::wstring, const Json*> listedFiles(const Json& manifest) {
    std::map<std::wstring, const Json*> listed;
    for (const Json& file : manifest.at("files"))
        listed.emplace(foldAsciiCase(checkArchivePath(file.at("path").get_ref<const std::string&>())), &file);
    return listed;
}

// Only plain files and folders, as the extraction allows them.
bool isPlainType(std::uint32_t externalAttributes, bool directory) {
    const std::uint32_t type = (externalAttributes >> 16) & 0xF000;
    return type == 0 || type == 0x8000 || (type == 0x4000 && directory);
}

class DirectoryReader {
  public:
    DirectoryReader(std::string_view bytes, const Json& manifest)
        : bytes_(bytes), expected_(listedFiles(manifest)) {}

    std::optional<DirectoryEntry> next() {
        if (at_ + centralFixedBytes > bytes_.size() || u32(bytes_, at_) != centralSignature)
            return std::nullopt;
        const size_t nameLength = u16(bytes_, at_ + 28);
        const size_t extraLength = u16(bytes_, at_ + 30);
        const size_t recordEnd = at_ + centralFixedBytes + nameLength + extraLength + u16(bytes_, at_ + 32);
        if (recordEnd > bytes_.size())
            return std::nullopt;
        DirectoryEntry entry;
        entry.flags = u16(bytes_, at_ + 8);
        entry.method = u16(bytes_, at_ + 10);
        entry.crc32 = u32(bytes_, at_ + 16);
        entry.compressedSize = u32(bytes_, at_ + 20);
        entry.size = u32(bytes_, at_ + 24);
        entry.headerOffset = u32(bytes_, at_ + 42);
        entry.name = std::string(bytes_.substr(at_ + centralFixedBytes, nameLength));
        const std::uint32_t external = u32(bytes_, at_ + 38);
        const std::string_view extra = bytes_.substr(at_ + centralFixedBytes + nameLength, extraLength);
        const bool firstDisk = u16(bytes_, at_ + 34) == 0;
        at_ = recordEnd;

        if (!firstDisk || !widenFromZip64(extra, entry.size, entry.compressedSize, entry.headerOffset))
            return std::nullopt;
        if (!acceptable(entry, external))
            return std::nullopt;
        return entry;
    }

    [[nodiscard]] bool allConsumed() const { return at_ == bytes_.size() && expected_.empty(); }

  private:
    // The rules of the extraction, applied to the directory alone.
    bool acceptable(DirectoryEntry& entry, std::uint32_t external) {
        if (isBlockedFlag(entry.flags) || (entry.method != storedMethod && entry.method != deflatedMethod) ||
            (entry.method == storedMethod && entry.compressedSize != entry.size))
            return false;
        if (entry.name.empty() || entry.name.size() > longestEntryName ||
            entry.name.find('\0') != std::string::npos)
            return false;
        const bool slashEnded = entry.name.back() == '/';
        entry.directory = slashEnded || (external & dosDirectoryAttribute) != 0;
        const std::string_view path =
            std::string_view(entry.name)
                .substr(0, entry.name.size() - (entry.directory && slashEnded ? 1 : 0));
        try {
            entry.path = checkArchivePath(path);
        } catch (const Error&) {
            return false;
        }
        const std::wstring key = foldAsciiCase(entry.path);
        if (!seen_.insert(key).second || !isPlainType(external, entry.directory))
            return false;
        if (entry.directory)
            return entry.size == 0;
        auto listed = expected_.find(key);
        if (listed == expected_.end() || Json(entry.size) != listed->second->at("size"))
            return false;
        entry.listed = listed->second;
        expected_.erase(listed);
        return true;
    }

    std::string_view bytes_;
    size_t at_ = 0;
    std::map<std::wstring, const Json*> expected_;
    std::set<std::wstring> seen_;
};

// Entries must follow each other without overlap, each with room for at least its header and data.
bool placeEntries(std::vector<DirectoryEntry>& entries, std::uint64_t directoryOffset) {
    std::sort(entries.begin(), entries.end(), [](const DirectoryEntry& a, const DirectoryEntry& b) {
        return a.headerOffset < b.headerOffset;
    });
    for (size_t index = 0; index < entries.size(); ++index) {
        DirectoryEntry& entry = entries[index];
        const std::uint64_t next =
            index + 1 < entries.size() ? entries[index + 1].headerOffset : directoryOffset;
        const std::uint64_t header = localHeaderFixedBytes + entry.name.size();
        if (entry.headerOffset >= next || next - entry.headerOffset < header ||
            next - entry.headerOffset - header < entry.compressedSize)
            return false;
        const std::uint64_t descriptor = (entry.flags & dataDescriptorFlag) ? longestDataDescriptor : 0;
        entry.extentEnd = std::min(next, entry.headerOffset + header + longestLocalExtra +
                                             entry.compressedSize + descriptor);
    }
    return true;
}

} // namespace

std::optional<ZipEnd> readZipEnd(std::string_view tail, std::uint64_t archiveSize, const Json& manifest) {
    if (tail.size() > archiveSize)
        return std::nullopt;
    const std::optional<EndRecord> end = readEndRecords(tail, archiveSize);
    if (!end || end->disk != 0 || end->directoryDisk != 0 || end->entriesOnDisk != end->entries)
        return std::nullopt;
    const std::uint64_t files = manifest.at("files").size();
    if (end->entries < files || end->entries > files + surplusEntryAllowance)
        return std::nullopt;
    if (end->directoryOffset > end->at || end->at - end->directoryOffset != end->directorySize ||
        end->directorySize < end->entries * centralFixedBytes ||
        end->directorySize > end->entries * longestDirectoryRecord)
        return std::nullopt;
    return ZipEnd{end->directoryOffset, end->directorySize, end->entries};
}

std::optional<std::vector<DirectoryEntry>> readCentralDirectory(std::string_view directory, const ZipEnd& end,
                                                                const Json& manifest) {
    if (directory.size() != end.directorySize)
        return std::nullopt;
    DirectoryReader reader(directory, manifest);
    std::vector<DirectoryEntry> entries;
    entries.reserve(end.entryCount);
    for (std::uint64_t index = 0; index < end.entryCount; ++index) {
        std::optional<DirectoryEntry> entry = reader.next();
        if (!entry)
            return std::nullopt;
        entries.push_back(std::move(*entry));
    }
    if (!reader.allConsumed() || !placeEntries(entries, end.directoryOffset))
        return std::nullopt;
    return entries;
}

std::uint64_t localHeaderVariableBytes(std::string_view fixed) {
    require(fixed.size() >= localHeaderFixedBytes && u32(fixed, 0) == localSignature, damaged);
    return std::uint64_t{u16(fixed, 26)} + u16(fixed, 28);
}

void checkLocalHeader(std::string_view header, const DirectoryEntry& entry) {
    const std::uint64_t variable = localHeaderVariableBytes(header);
    require(header.size() == localHeaderFixedBytes + variable, damaged);
    const std::uint16_t flags = u16(header, 6);
    const size_t nameLength = u16(header, 26);
    const std::string_view name = header.substr(localHeaderFixedBytes, nameLength);
    const std::string_view extra = header.substr(localHeaderFixedBytes + nameLength);
    require(name == entry.name && u16(header, 8) == entry.method && !isBlockedFlag(flags), damaged);

    std::uint32_t crc = u32(header, 14);
    std::uint64_t compressed = u32(header, 18);
    std::uint64_t size = u32(header, 22);
    require(widenFromZip64(extra, size, compressed), damaged);
    // With a data descriptor the local header may leave CRC and sizes at 0; the directory's count.
    const bool deferred = (flags & dataDescriptorFlag) != 0;
    const auto agrees = [deferred](std::uint64_t local, std::uint64_t central) {
        return local == central || (deferred && local == 0);
    };
    require(agrees(crc, entry.crc32) && agrees(compressed, entry.compressedSize) && agrees(size, entry.size),
            damaged);
}

} // namespace tess
