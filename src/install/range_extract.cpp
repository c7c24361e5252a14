#include "install/range_extract.hpp"

#include "foundation/changes.hpp"
#include "foundation/error.hpp"
#include "foundation/handles.hpp"
#include "foundation/paths.hpp"
#include "install/zip_inflate.hpp"

#include <algorithm>
#include <numeric>
#include <string>
#include <string_view>

namespace tess {
namespace fs = std::filesystem;
namespace {

constexpr char damaged[] = "ZIP-Daten beschädigt oder Speicher voll.";
constexpr std::uint32_t readBlockBytes = 1 << 20;
// A request costs a connection and a round trip; bytes between wanted entries up to this size are
// cheaper to fetch along than to skip with a new request.
constexpr std::uint64_t smallGap = 256 * 1024;
constexpr std::uint64_t gapShareOfWanted = 16;

std::string readRange(RangeSource& source, std::uint64_t length) {
    std::string bytes(length, '\0');
    for (std::uint64_t done = 0; done < length;) {
        const std::uint32_t got =
            source.read(bytes.data() + done,
                        static_cast<std::uint32_t>(std::min<std::uint64_t>(length - done, readBlockBytes)));
        require(got > 0, damaged);
        done += got;
    }
    return bytes;
}

// The bytes of one open span, in order, through one buffer; never a byte past the span.
class SpanReader {
  public:
    SpanReader(RangeSource& source, const FetchSpan& span, std::vector<char>& buffer)
        : source_(source), position_(span.first), end_(span.last + 1), buffer_(buffer) {}

    // At least one and at most `most` of the bytes that come next.
    std::string_view next(std::uint64_t most) {
        require(most > 0 && position_ < end_, damaged);
        if (begin_ == filled_) {
            begin_ = 0;
            filled_ = source_.read(buffer_.data(), static_cast<std::uint32_t>(std::min<std::uint64_t>(
                                                       buffer_.size(), end_ - position_)));
            require(filled_ > 0, damaged);
        }
        const size_t take = static_cast<size_t>(std::min<std::uint64_t>(most, filled_ - begin_));
        const std::string_view piece(buffer_.data() + begin_, take);
        begin_ += take;
        position_ += take;
        return piece;
    }

    std::string take(std::uint64_t count) {
        require(count <= end_ - position_, damaged);
        std::string bytes;
        while (bytes.size() < count)
            bytes += next(count - bytes.size());
        return bytes;
    }

    void skipTo(std::uint64_t offset) {
        require(offset >= position_ && offset <= end_, damaged);
        while (position_ < offset)
            next(offset - position_);
    }

  private:
    RangeSource& source_;
    std::uint64_t position_;
    std::uint64_t end_;
    std::vector<char>& buffer_;
    size_t begin_ = 0;
    size_t filled_ = 0;
};

void decodeInto(SpanReader& reader, const DirectoryEntry& entry, HANDLE file) {
    std::string header = reader.take(localHeaderFixedBytes);
    const std::uint64_t variable = localHeaderVariableBytes(header);
    const std::uint64_t dataStart = entry.headerOffset + localHeaderFixedBytes + variable;
    require(dataStart <= entry.extentEnd && entry.extentEnd - dataStart >= entry.compressedSize, damaged);
    header += reader.take(variable);
    checkLocalHeader(header, entry);

    EntryDecoder decoder(entry);
    const auto write = [file](const char* data, size_t size) {
        DWORD written = 0;
        require(writeToFile(file, data, static_cast<DWORD>(size), written) && written == size, damaged);
    };
    for (std::uint64_t left = entry.compressedSize; left > 0;) {
        const std::string_view piece = reader.next(left);
        decoder.feed(piece.data(), piece.size(), write);
        left -= piece.size();
    }
    decoder.finish();
}

// Written through an exclusive handle and never trusted before its hash: an entry that fails on the way
// is removed again.
void writeEntry(SpanReader& reader, const DirectoryEntry& entry, const fs::path& stage, StagedFiles& staged) {
    const fs::path target = extendedPath(stage / fs::path(entry.path).make_preferred(), false);
    refuseReparsePointsBelow(stage, target.parent_path());
    createDirectoriesBelow(stage, target.parent_path());
    FileHandle file =
        createFileForWriting(target, 0, CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT);
    require(file.valid(), "Datei nicht schreibbar.");
    try {
        decodeInto(reader, entry, file.get());
    } catch (...) {
        file.reset();
        deleteFile(target);
        throw;
    }
    staged.add(target, std::move(file), *entry.listed);
}

} // namespace

std::optional<ArchiveDirectory> fetchArchiveDirectory(RangeSource& source, const Json& manifest) {
    const std::uint64_t size = manifest.at("artifact").at("size").get<std::uint64_t>();
    const std::uint64_t tailLength = std::min(size, zipTailBytes);
    const std::uint64_t tailStart = size - tailLength;
    source.expect(tailLength);
    if (!source.open(tailStart, size - 1))
        return std::nullopt;
    const std::string tail = readRange(source, tailLength);
    const std::optional<ZipEnd> end = readZipEnd(tail, size, manifest);
    if (!end)
        return std::nullopt;

    // The directory ends where the end records begin, inside the tail.
    const std::uint64_t directoryEnd = end->directoryOffset + end->directorySize;
    std::string directory;
    if (end->directoryOffset < tailStart) {
        source.expect(tailStart - end->directoryOffset);
        if (!source.open(end->directoryOffset, tailStart - 1))
            return std::nullopt;
        directory = readRange(source, tailStart - end->directoryOffset);
        directory.append(tail, 0, directoryEnd - tailStart);
    } else {
        directory = tail.substr(end->directoryOffset - tailStart, end->directorySize);
    }
    std::optional<std::vector<DirectoryEntry>> entries = readCentralDirectory(directory, *end, manifest);
    if (!entries)
        return std::nullopt;
    return ArchiveDirectory{*end, std::move(*entries)};
}

std::vector<FetchSpan> planSpans(std::vector<const DirectoryEntry*> wanted, unsigned maxSpans) {
    std::sort(wanted.begin(), wanted.end(), [](const DirectoryEntry* a, const DirectoryEntry* b) {
        return a->headerOffset < b->headerOffset;
    });
    std::vector<FetchSpan> single;
    std::uint64_t wantedBytes = 0;
    for (const DirectoryEntry* entry : wanted) {
        single.push_back({entry->headerOffset, entry->extentEnd - 1, {entry}});
        wantedBytes += entry->extentEnd - entry->headerOffset;
    }
    if (single.size() < 2)
        return single;

    // Gap i lies between span i and span i + 1; the smallest are joined first.
    const auto gap = [&single](size_t i) {
        return single[i + 1].first - single[i].last - 1;
    };
    std::vector<size_t> order(single.size() - 1);
    std::iota(order.begin(), order.end(), size_t{0});
    std::stable_sort(order.begin(), order.end(), [&gap](size_t a, size_t b) { return gap(a) < gap(b); });
    std::vector<bool> join(order.size(), false);
    size_t spans = single.size();
    std::uint64_t joinedBytes = 0;
    const size_t limit = std::max(maxSpans, 1u);
    for (size_t i : order) {
        const bool cheap = gap(i) <= smallGap && joinedBytes + gap(i) <= wantedBytes / gapShareOfWanted;
        if (!cheap && spans <= limit)
            break;
        join[i] = true;
        joinedBytes += gap(i);
        --spans;
    }

    std::vector<FetchSpan> plan{single.front()};
    for (size_t i = 1; i < single.size(); ++i) {
        if (join[i - 1]) {
            plan.back().last = single[i].last;
            plan.back().entries.push_back(single[i].entries.front());
        } else {
            plan.push_back(single[i]);
        }
    }
    return plan;
}

bool fetchEntries(RangeSource& source, const std::vector<FetchSpan>& spans, const fs::path& stage,
                  StagedFiles& staged) {
    std::vector<char> buffer(readBlockBytes);
    for (const FetchSpan& span : spans) {
        if (!source.open(span.first, span.last))
            return false;
        SpanReader reader(source, span, buffer);
        for (const DirectoryEntry* entry : span.entries) {
            reader.skipTo(entry->headerOffset);
            writeEntry(reader, *entry, stage, staged);
        }
        reader.skipTo(span.last + 1);
    }
    return true;
}

} // namespace tess
