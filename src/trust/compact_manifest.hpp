// The package manifest in flat form for the roads that walk its file list (install, start, extraction,
// verification): per file its size, its hash bytes and its path in one shared buffer, an index by
// case-folded path, and every other member as a small JSON value. A CompactManifest is always a
// validated manifest: the only ways to make one validate first.
#pragma once

#include "foundation/json.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tess {

class CompactManifest {
  public:
    static constexpr std::size_t none = static_cast<std::size_t>(-1);

    // The document's members except "files".
    [[nodiscard]] const Json& members() const { return members_; }
    [[nodiscard]] std::size_t fileCount() const { return files_.size(); }
    // The artifact's unpacked size: what all files add up to.
    [[nodiscard]] std::uint64_t unpackedSize() const {
        return members_.at("artifact").at("unpackedSize").get<std::uint64_t>();
    }
    [[nodiscard]] std::string_view path(std::size_t file) const;
    [[nodiscard]] std::uint64_t size(std::size_t file) const { return files_[file].size; }
    // JSON number equality of the listed size with `bytes`: a size the document wrote as 5.5 reads as 5
    // but equals no byte count.
    [[nodiscard]] bool sizeEquals(std::size_t file, std::uint64_t bytes) const;
    [[nodiscard]] std::string sha256Hex(std::size_t file) const;
    // The entry whose path equals `path` when only A to Z are folded to lower case; `none` if there is
    // none. Validation leaves at most one.
    [[nodiscard]] std::size_t findFolded(std::string_view path) const;
    // The whole document again, for callers that hand the manifest on as JSON.
    [[nodiscard]] Json toJson() const;

  private:
    struct File {
        std::uint64_t size;
        std::array<unsigned char, 32> sha256;
    };

    friend class CompactBuilder;
    friend CompactManifest compactManifest(const Json& manifest);
    friend CompactManifest readCompactManifest(std::string payload);

    CompactManifest() = default;

    void addFile(std::string_view path, std::uint64_t size, const std::array<unsigned char, 32>& sha256,
                 bool sizeExact);
    void validate() const;
    void indexFoldedPaths();

    Json members_ = Json::object();
    std::vector<File> files_;
    std::string paths_;                   // every path, one after the other
    std::vector<std::uint32_t> pathEnds_; // where each file's path ends in paths_
    std::vector<std::uint32_t> folded_;   // file positions in the order of their ASCII-folded paths
    std::vector<bool> sizeInexact_;       // sizes written as a fraction; empty when none is
};

// Parses a manifest document with the rules of `parse` and validates it as `validateManifest` does, with
// the same messages in the same order. Lists of the form the publisher tool writes are read in one pass
// without building the document; any other list is parsed and validated as a document and then
// taken over. The text is released once parsed, before the list is validated.
[[nodiscard]] CompactManifest readCompactManifest(std::string payload);
// Validates the document (`validateManifest`) and takes it into the compact form.
[[nodiscard]] CompactManifest compactManifest(const Json& manifest);

} // namespace tess
