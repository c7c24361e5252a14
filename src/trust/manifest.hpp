// The package manifest of a release: every bound, hash form and path rule, and the publisher-
// signature policy it shares with the launcher release.
#pragma once

#include "foundation/json.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tess {

void validateManifest(const Json& manifest);

// The file list as validation reads it, entry by entry: the document's "files" array, or a compact copy
// of it. Each read fails as the document's checked lookups would.
class ManifestFileList {
  public:
    virtual ~ManifestFileList() = default;
    [[nodiscard]] virtual std::size_t count() const = 0;
    [[nodiscard]] virtual std::string path(std::size_t entry) const = 0;
    // Throws `outOfRange` for a number no 64-bit unsigned integer can hold (see readUnsigned).
    [[nodiscard]] virtual std::uint64_t size(std::size_t entry, const char* outOfRange) const = 0;
    [[nodiscard]] virtual bool hasSha256Form(std::size_t entry) const = 0;
};

// The same validation, in the same order, of a document whose "files" member is left out and whose
// file list is read through `files`.
void validateManifest(const Json& members, const ManifestFileList& files);
[[nodiscard]] bool authenticodeRequired(const Json& document);
[[nodiscard]] bool isUuidText(std::string_view text);

// The one form of every hash in a signed document: a string of 64 characters from "0123456789abcdef".
[[nodiscard]] bool isSha256Text(const Json& value);

// An unsigned number as the JSON library reads it (integers and floating-point values converted,
// other types its type error), except that a number no 64-bit unsigned integer can hold, such as -1 or
// 1e30, throws `outOfRange` instead of wrapping around or converting with undefined behaviour.
[[nodiscard]] std::uint64_t readUnsigned(const Json& value, const char* outOfRange);

} // namespace tess
