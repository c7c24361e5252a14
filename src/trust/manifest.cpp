#include "trust/manifest.hpp"

#include "foundation/error.hpp"
#include "install/archive_paths.hpp"

#include <set>
#include <string>

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

struct FileList {
    std::set<std::wstring> keys; // case-folded paths
    std::uint64_t total = 0;
};

FileList checkFiles(const Json& files, std::uint64_t unpackedSize) {
    FileList list;
    auto& [keys, total] = list;
    for (const Json& entry : files) {
        const std::wstring path = checkArchivePath(entry.at("path").get<std::string>());
        require(keys.insert(archivePathKey(path)).second, "Doppelter Paketpfad.");
        const std::uint64_t size = readUnsigned(entry.at("size"), "Entpackte Größe überschritten.");
        require(size <= unpackedSize - total, "Entpackte Größe überschritten.");
        total += size;
        require(isSha256Text(entry.at("sha256")), "Dateihash ungültig.");
    }
    return list;
}

void refuseFileFolderClashes(const std::set<std::wstring>& keys) {
    for (const std::wstring& key : keys)
        for (std::size_t slash = key.find(L'/'); slash != std::wstring::npos;
             slash = key.find(L'/', slash + 1))
            require(!keys.contains(key.substr(0, slash)), "Datei und Verzeichnis verwenden denselben Pfad.");
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

    const Json& files = manifest.at("files");
    require(files.is_array() && !files.empty() && files.size() <= maxFileEntries, "Dateianzahl ungültig.");
    const FileList list = checkFiles(files, unpackedSize);
    const std::set<std::wstring>& keys = list.keys;
    refuseFileFolderClashes(keys);
    const char* totalsMessage = "Paketgrößen passen nicht zum Manifest.";
    require(list.total == unpackedSize &&
                readUnsigned(artifact.at("fileCount"), totalsMessage) == keys.size(),
            totalsMessage);
    require(keys.contains(L"apptessaro.exe") && keys.contains(L"delivery-manifest.json"),
            "TESSARO-Programm fehlt.");
}

} // namespace tess
