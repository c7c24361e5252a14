#include "trust/manifest.hpp"

#include "foundation/error.hpp"
#include "install/archive_paths.hpp"

#include <algorithm>
#include <exception>
#include <numeric>
#include <string>
#include <vector>

namespace tess {
namespace {

constexpr std::uint64_t maxArchiveBytes = 4294967296;   // 4 GiB
constexpr std::uint64_t maxUnpackedBytes = 17179869184; // 16 GiB
constexpr std::size_t maxFileEntries = 100000;

std::string readPolicy(const Json& document) {
    std::string policy = document.value("authenticodePolicy", std::string("required"));
    require(policy == "required" || policy == "unsigned", "Unbekannte Windows-Signaturrichtlinie.");
    return policy;
}

// The library would convert a value beyond 32 bits silently (4294967297 becomes 1), which could turn a
// nonsense contract into a valid one; such a value is refused with the member's own message.
int readInt32(const Json& value, const char* outOfRange) {
    if (value.is_number()) {
        const double number = value.get<double>();
        require(number > -2147483649.0 && number < 2147483648.0, outOfRange);
    }
    return value.get<int>();
}

void checkSchemaContract(const Json& compatibility, const std::string& name) {
    const char* message = "Schema-Vertrag ungültig.";
    const int min = readInt32(compatibility.at(name + "Min"), message);
    const int max = readInt32(compatibility.at(name + "Max"), message);
    const int write = readInt32(compatibility.at(name + "Write"), message);
    require(min >= 1 && max >= min && write >= min && write <= max, message);
}

void checkCompatibility(const Json& compatibility) {
    checkSchemaContract(compatibility, "profileSchema");
    checkSchemaContract(compatibility, "projectSchema");
    const char* message = "Kompatibilitätsvertrag fehlt.";
    require(readInt32(compatibility.at("minWindowsBuild"), message) > 0, message);
    require(compatibility.at("minLauncherVersion").is_string(), message);
    require(compatibility.at("engine").is_string(), message);
}

// The case-folded keys of the listed paths in one buffer, in list order, with their sorted order: a
// tree of 100,000 strings would cost several times the list itself.
class PathKeys {
  public:
    void add(std::wstring_view key) {
        text_.append(key);
        ends_.push_back(static_cast<std::uint32_t>(text_.size()));
    }
    [[nodiscard]] std::size_t size() const { return ends_.size(); }

    // Sorts by key, equal keys in list order; returns the first entry whose key an earlier one has, or
    // size() when there is none.
    std::size_t sortAndFindRepeat() {
        order_.resize(ends_.size());
        std::iota(order_.begin(), order_.end(), std::uint32_t{0});
        std::sort(order_.begin(), order_.end(), [this](std::uint32_t a, std::uint32_t b) {
            const std::wstring_view left = key(a);
            const std::wstring_view right = key(b);
            return left < right || (left == right && a < b);
        });
        std::size_t repeat = size();
        for (std::size_t i = 1; i < order_.size(); ++i)
            if (key(order_[i]) == key(order_[i - 1]))
                repeat = std::min<std::size_t>(repeat, order_[i]);
        return repeat;
    }

    [[nodiscard]] bool contains(std::wstring_view wanted) const {
        const auto at =
            std::lower_bound(order_.begin(), order_.end(), wanted,
                             [this](std::uint32_t entry, std::wstring_view w) { return key(entry) < w; });
        return at != order_.end() && key(*at) == wanted;
    }

    // A path and a path inside it cannot both be listed.
    void refuseFileFolderClashes() const {
        for (std::size_t entry = 0; entry < size(); ++entry) {
            const std::wstring_view path = key(entry);
            for (std::size_t slash = path.find(L'/'); slash != std::wstring_view::npos;
                 slash = path.find(L'/', slash + 1))
                require(!contains(path.substr(0, slash)), "Datei und Verzeichnis verwenden denselben Pfad.");
        }
    }

  private:
    [[nodiscard]] std::wstring_view key(std::size_t entry) const {
        const std::size_t begin = entry == 0 ? 0 : ends_[entry - 1];
        return std::wstring_view(text_).substr(begin, ends_[entry] - begin);
    }

    std::wstring text_;
    std::vector<std::uint32_t> ends_;
    std::vector<std::uint32_t> order_;
};

// Every entry's checks run in list order and the first failure is reported, as if each entry were
// checked whole before the next: its path, whether an earlier entry has its key, its size, its hash.
// The keys are collected first and compared sorted, so the entries before a repeated key or a refused
// path get their size and hash checks before that failure is reported.
void checkFiles(const ManifestFileList& files, std::uint64_t unpackedSize, const Json& artifact) {
    PathKeys keys;
    std::exception_ptr refusedPath;
    for (std::size_t entry = 0; entry < files.count() && !refusedPath; ++entry) {
        try {
            keys.add(archivePathKey(checkArchivePath(files.path(entry))));
        } catch (...) {
            refusedPath = std::current_exception();
        }
    }
    const std::size_t repeat = keys.sortAndFindRepeat();
    std::uint64_t total = 0;
    for (std::size_t entry = 0; entry < repeat; ++entry) {
        const std::uint64_t size = files.size(entry, "Entpackte Größe überschritten.");
        require(size <= unpackedSize - total, "Entpackte Größe überschritten.");
        total += size;
        require(files.hasSha256Form(entry), "Dateihash ungültig.");
    }
    require(repeat == keys.size(), "Doppelter Paketpfad.");
    if (refusedPath)
        std::rethrow_exception(refusedPath);

    keys.refuseFileFolderClashes();
    const char* totalsMessage = "Paketgrößen passen nicht zum Manifest.";
    require(total == unpackedSize && readUnsigned(artifact.at("fileCount"), totalsMessage) == keys.size(),
            totalsMessage);
    require(keys.contains(L"apptessaro.exe") && keys.contains(L"delivery-manifest.json"),
            "TESSARO-Programm fehlt.");
}

// The document's own list.
class DocumentFileList final : public ManifestFileList {
  public:
    explicit DocumentFileList(const Json& files) : files_(files) {}
    [[nodiscard]] std::size_t count() const override { return files_.size(); }
    [[nodiscard]] std::string path(std::size_t entry) const override {
        return files_[entry].at("path").get<std::string>();
    }
    [[nodiscard]] std::uint64_t size(std::size_t entry, const char* outOfRange) const override {
        return readUnsigned(files_[entry].at("size"), outOfRange);
    }
    [[nodiscard]] bool hasSha256Form(std::size_t entry) const override {
        return isSha256Text(files_[entry].at("sha256"));
    }

  private:
    const Json& files_;
};

// Everything before the file list; returns the declared unpacked size.
std::uint64_t checkMembers(const Json& manifest) {
    readPolicy(manifest);

    const Json& schemaVersion = manifest.at("schemaVersion");
    const std::string product = manifest.at("product").get<std::string>();
    const std::string platform = manifest.at("platform").get<std::string>();
    const std::string releaseId = manifest.at("releaseId").get<std::string>();
    require(schemaVersion == 1 && product == "tessaro" && platform == "win-x64" && isUuidText(releaseId),
            "Paketmanifest ungültig.");

    const std::string channel = manifest.at("channel").get<std::string>();
    require(channel == "stable" || channel == "snapshot", "Unbekannter Kanal.");
    require(manifest.at("version").is_string() && manifest.at("buildId").is_string(),
            "Versionskennung fehlt.");

    const Json& artifact = manifest.at("artifact");
    const char* sizeMessage = "Paketgrößen außerhalb des erlaubten Bereichs.";
    const std::uint64_t size = readUnsigned(artifact.at("size"), sizeMessage);
    const std::uint64_t unpackedSize = readUnsigned(artifact.at("unpackedSize"), sizeMessage);
    require(size >= 1 && size <= maxArchiveBytes && unpackedSize <= maxUnpackedBytes, sizeMessage);
    require(isSha256Text(artifact.at("sha256")), "Pakethash ungültig.");
    require(artifact.at("artifactId") == manifest.at("releaseId"), "Artefaktkennung stimmt nicht.");

    checkCompatibility(manifest.at("compatibility"));
    return unpackedSize;
}

void requireFileCount(std::size_t count) {
    require(count >= 1 && count <= maxFileEntries, "Dateianzahl ungültig.");
}

} // namespace

bool isUuidText(std::string_view text) {
    if (text.size() != 36)
        return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (dash ? c != '-' : !hex)
            return false;
    }
    return true;
}

bool isSha256Text(const Json& value) {
    if (!value.is_string())
        return false;
    const std::string& text = value.get_ref<const std::string&>();
    return text.size() == 64 && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

std::uint64_t readUnsigned(const Json& value, const char* outOfRange) {
    if (value.is_number() && !value.is_number_unsigned()) {
        const double number = value.get<double>();
        require(number > -1.0 && number < 18446744073709551616.0, outOfRange);
    }
    return value.get<std::uint64_t>();
}

bool authenticodeRequired(const Json& document) {
    return readPolicy(document) == "required";
}

void validateManifest(const Json& manifest) {
    const std::uint64_t unpackedSize = checkMembers(manifest);
    const Json& files = manifest.at("files");
    requireFileCount(files.is_array() ? files.size() : 0);
    checkFiles(DocumentFileList(files), unpackedSize, manifest.at("artifact"));
}

void validateManifest(const Json& members, const ManifestFileList& files) {
    const std::uint64_t unpackedSize = checkMembers(members);
    requireFileCount(files.count());
    checkFiles(files, unpackedSize, members.at("artifact"));
}

} // namespace tess
