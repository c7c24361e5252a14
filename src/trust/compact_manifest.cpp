#include "trust/compact_manifest.hpp"

#include "foundation/crypto.hpp"
#include "foundation/error.hpp"
#include "trust/manifest.hpp"

#include <algorithm>
#include <limits>
#include <numeric>
#include <set>
#include <utility>

namespace tess {
namespace {

constexpr std::size_t deepestNesting = 80;

unsigned char asciiLower(unsigned char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c + 32) : c;
}

// Folding only A to Z, the order of the UTF-8 text is as good as that of the wide names.
bool foldedLess(std::string_view left, std::string_view right) {
    return std::lexicographical_compare(
        left.begin(), left.end(), right.begin(), right.end(),
        [](unsigned char a, unsigned char b) { return asciiLower(a) < asciiLower(b); });
}

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// The bytes of a hash written in the one form a signed document allows (64 of "0123456789abcdef").
bool sha256Bytes(std::string_view text, std::array<unsigned char, 32>& bytes) {
    if (text.size() != 64)
        return false;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const int high = hexValue(text[2 * i]);
        const int low = hexValue(text[2 * i + 1]);
        if (high < 0 || low < 0)
            return false;
        bytes[i] = static_cast<unsigned char>(high << 4 | low);
    }
    return true;
}

} // namespace

// One pass over the payload with the rules of `parse`: the same events in the same order, so the same
// message for the first defect (nesting, a repeated member name, anything else). Every member but the
// file list becomes a small JSON value; each file entry goes straight into the compact form. An entry
// that is not an object of exactly "path" (text), "size" (a whole number from 0) and "sha256" (the hash
// form), or a "files" that is no array, ends the pass (an event answers false): such a document takes
// the document road, where every message and type error is the validation's own.
class CompactBuilder {
  public:
    using number_integer_t = Json::number_integer_t;
    using number_unsigned_t = Json::number_unsigned_t;
    using number_float_t = Json::number_float_t;
    using string_t = Json::string_t;
    using binary_t = Json::binary_t;

    explicit CompactBuilder(CompactManifest& manifest) : manifest_(manifest) {}

    // True when the file list was read here; false when the document needs the document road.
    [[nodiscard]] bool complete() const { return filesRead_; }

    bool null() { return value(Json(nullptr)); }
    bool boolean(bool flag) { return value(Json(flag)); }
    bool number_integer(number_integer_t number) { return value(Json(number)); }
    bool number_float(number_float_t number, const string_t&) { return value(Json(number)); }
    bool binary(binary_t&) { return false; }

    bool number_unsigned(number_unsigned_t number) {
        if (place_ != Place::entry)
            return value(Json(number));
        refuseDeepValue();
        if (member_ != Member::size)
            return false;
        entry_.size = number;
        return true;
    }

    bool string(string_t& text) {
        if (place_ != Place::entry)
            return value(Json(std::move(text)));
        refuseDeepValue();
        if (member_ == Member::path) {
            entry_.path.assign(text);
            return true;
        }
        return member_ == Member::sha256 && sha256Bytes(text, entry_.sha256);
    }

    bool start_object(std::size_t) {
        refuseDeepValue();
        if (place_ == Place::list) {
            place_ = Place::entry;
            entry_.seen = 0;
            ++open_;
            return true;
        }
        if (!placeContainer(Json::object()))
            return false;
        names_.emplace_back();
        return true;
    }

    bool key(string_t& name) {
        refuseDeepValue();
        if (place_ == Place::entry)
            return entryMember(name);
        if (!names_.back().insert(name).second)
            throw Error("Doppeltes JSON-Feld.");
        if (open_ == 1 && name == "files")
            filesNext_ = true;
        else
            key_ = std::move(name);
        return true;
    }

    bool end_object() {
        --open_;
        if (place_ == Place::entry) {
            place_ = Place::list;
            if (entry_.seen != Entry::all)
                return false;
            // The path buffer's positions are 32-bit; a document this large is left to the other road.
            if (manifest_.paths_.size() + entry_.path.size() > std::numeric_limits<std::uint32_t>::max())
                return false;
            manifest_.addFile(entry_.path, entry_.size, entry_.sha256, true);
            return true;
        }
        names_.pop_back();
        containers_.pop_back();
        return true;
    }

    bool start_array(std::size_t) {
        refuseDeepValue();
        if (filesNext_) {
            filesNext_ = false;
            filesRead_ = true;
            place_ = Place::list;
            ++open_;
            return true;
        }
        return placeContainer(Json::array());
    }

    bool end_array() {
        --open_;
        if (place_ == Place::list)
            place_ = Place::members;
        else
            containers_.pop_back();
        return true;
    }

    bool parse_error(std::size_t, const std::string&, const Json::exception&) {
        throw Error("JSON-Dokument ist unvollstaendig oder ungueltig.");
    }

  private:
    enum class Place { members, list, entry };
    enum class Member { none, path, size, sha256 };

    struct Entry {
        static constexpr unsigned all = 0b111;
        std::string path;
        std::uint64_t size = 0;
        std::array<unsigned char, 32> sha256{};
        unsigned seen = 0; // one bit per member
    };

    // The depth `parse` gives an event is the number of containers open around it.
    void refuseDeepValue() const {
        if (open_ >= deepestNesting)
            throw Error("JSON zu tief verschachtelt.");
    }

    bool entryMember(const std::string& name) {
        static constexpr std::pair<std::string_view, Member> known[] = {
            {"path", Member::path}, {"size", Member::size}, {"sha256", Member::sha256}};
        for (const auto& [text, member] : known) {
            if (name != text)
                continue;
            const unsigned bit = 1u << (static_cast<unsigned>(member) - 1);
            if (entry_.seen & bit)
                throw Error("Doppeltes JSON-Feld.");
            entry_.seen |= bit;
            member_ = member;
            return true;
        }
        return false;
    }

    // A scalar outside the file entries: a member of the small document, unless it stands where the
    // document or the file list was expected.
    bool value(Json&& scalar) {
        refuseDeepValue();
        if (place_ != Place::members || filesNext_ || containers_.empty())
            return false;
        place(std::move(scalar));
        return true;
    }

    bool placeContainer(Json&& container) {
        if (place_ != Place::members || filesNext_)
            return false;
        // Only an object can be the document.
        if (containers_.empty() && !container.is_object())
            return false;
        containers_.push_back(containers_.empty() ? &(manifest_.members_ = std::move(container))
                                                  : &place(std::move(container)));
        ++open_;
        return true;
    }

    Json& place(Json&& item) {
        Json& parent = *containers_.back();
        if (parent.is_array()) {
            parent.push_back(std::move(item));
            return parent.back();
        }
        return parent[key_] = std::move(item);
    }

    CompactManifest& manifest_;
    std::size_t open_ = 0;
    Place place_ = Place::members;
    std::vector<Json*> containers_;
    std::vector<std::set<std::string>> names_;
    std::string key_;
    bool filesNext_ = false;
    bool filesRead_ = false;
    Entry entry_;
    Member member_ = Member::none;
};

namespace {

// Validation reads the compact list as it reads the document's.
class CompactFileList final : public ManifestFileList {
  public:
    explicit CompactFileList(const CompactManifest& manifest) : manifest_(manifest) {}
    [[nodiscard]] std::size_t count() const override { return manifest_.fileCount(); }
    [[nodiscard]] std::string path(std::size_t entry) const override {
        return std::string(manifest_.path(entry));
    }
    [[nodiscard]] std::uint64_t size(std::size_t entry, const char*) const override {
        return manifest_.size(entry);
    }
    [[nodiscard]] bool hasSha256Form(std::size_t) const override { return true; }

  private:
    const CompactManifest& manifest_;
};

} // namespace

std::string_view CompactManifest::path(std::size_t file) const {
    const std::size_t begin = file == 0 ? 0 : pathEnds_[file - 1];
    return std::string_view(paths_).substr(begin, pathEnds_[file] - begin);
}

bool CompactManifest::sizeEquals(std::size_t file, std::uint64_t bytes) const {
    return files_[file].size == bytes && (sizeInexact_.empty() || !sizeInexact_[file]);
}

std::string CompactManifest::sha256Hex(std::size_t file) const {
    return toHex(files_[file].sha256.data(), files_[file].sha256.size());
}

std::size_t CompactManifest::findFolded(std::string_view wanted) const {
    const auto at = std::lower_bound(
        folded_.begin(), folded_.end(), wanted,
        [this](std::uint32_t file, std::string_view w) { return foldedLess(path(file), w); });
    if (at == folded_.end() || foldedLess(wanted, path(*at)))
        return none;
    return *at;
}

Json CompactManifest::toJson() const {
    Json document = members_;
    Json& files = document["files"] = Json::array();
    for (std::size_t file = 0; file < fileCount(); ++file)
        files.push_back(
            {{"path", std::string(path(file))}, {"sha256", sha256Hex(file)}, {"size", size(file)}});
    return document;
}

void CompactManifest::addFile(std::string_view path, std::uint64_t size,
                              const std::array<unsigned char, 32>& sha256, bool sizeExact) {
    files_.push_back({size, sha256});
    paths_.append(path);
    pathEnds_.push_back(static_cast<std::uint32_t>(paths_.size()));
    if (!sizeExact && sizeInexact_.empty())
        sizeInexact_.resize(files_.size() - 1, false);
    if (!sizeInexact_.empty())
        sizeInexact_.push_back(!sizeExact);
}

void CompactManifest::validate() const {
    validateManifest(members_, CompactFileList(*this));
}

void CompactManifest::indexFoldedPaths() {
    folded_.resize(files_.size());
    std::iota(folded_.begin(), folded_.end(), std::uint32_t{0});
    std::sort(folded_.begin(), folded_.end(),
              [this](std::uint32_t a, std::uint32_t b) { return foldedLess(path(a), path(b)); });
}

CompactManifest compactManifest(const Json& manifest) {
    validateManifest(manifest);
    CompactManifest compact;
    for (const auto& [name, value] : manifest.items())
        if (name != "files")
            compact.members_[name] = value;
    const Json& files = manifest.at("files");
    compact.files_.reserve(files.size());
    compact.pathEnds_.reserve(files.size());
    for (const Json& entry : files) {
        const Json& size = entry.at("size");
        const std::uint64_t bytes = readUnsigned(size, "Entpackte Größe überschritten.");
        std::array<unsigned char, 32> sha256{};
        sha256Bytes(entry.at("sha256").get_ref<const std::string&>(), sha256);
        compact.addFile(entry.at("path").get_ref<const std::string&>(), bytes, sha256, Json(bytes) == size);
    }
    compact.indexFoldedPaths();
    return compact;
}

CompactManifest readCompactManifest(std::string payload) {
    {
        CompactManifest compact;
        CompactBuilder builder(compact);
        bool read = false;
        try {
            read = Json::sax_parse(payload.begin(), payload.end(), &builder) && builder.complete();
        } catch (const Json::exception&) {
            throw Error("JSON-Dokument ist unvollstaendig oder ungueltig.");
        }
        if (read) {
            std::string().swap(payload);
            compact.validate();
            compact.indexFoldedPaths();
            return compact;
        }
    }
    const Json document = parse(payload);
    std::string().swap(payload);
    return compactManifest(document);
}

} // namespace tess
