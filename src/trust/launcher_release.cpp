#include "trust/launcher_release.hpp"

#include "foundation/error.hpp"
#include "trust/manifest.hpp"

#include <sstream>
#include <string>

namespace tess {
namespace {

constexpr std::uint64_t maxLauncherBytes = 10485760; // 10 MiB

bool isBuildIdText(const std::string& text) {
    static constexpr std::string_view allowed =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._-";
    return !text.empty() && text.size() <= 100 && text.find_first_not_of(allowed) == std::string::npos;
}

// major.minor.patch read by formatted extraction: blanks before a number are tolerated (the extraction
// skips them), anything after the last digit is not.
bool isVersionText(const std::string& text) {
    std::istringstream stream(text);
    int major = -1, minor = -1, patch = -1;
    char first = 0, second = 0;
    if (!(stream >> major >> first >> minor >> second >> patch))
        return false;
    return first == '.' && second == '.' && stream.peek() == std::char_traits<char>::eof() && major >= 0 &&
           minor >= 0 && patch >= 0;
}

void checkLauncherFile(const Json& release) {
    const char* message = "Launcherdatei ungültig.";
    const Json& artifact = release.at("artifact");
    require(isSha256Text(artifact.at("sha256")), message);
    const std::uint64_t size = readUnsigned(artifact.at("size"), message);
    require(size >= 1 && size <= maxLauncherBytes, message);
    require(artifact.at("artifactId") == release.at("releaseId"), message);
    require(artifact.at("unpackedSize") == artifact.at("size"), message);
    require(artifact.at("fileCount") == 1, message);
    const Json& files = release.at("files");
    require(files.is_array() && files.size() == 1, message);
    const Json& file = files.front();
    require(file.at("path") == "TESSARO-Setup.exe", message);
    require(file.at("sha256") == artifact.at("sha256"), message);
    require(file.at("size") == artifact.at("size"), message);
}

} // namespace

void validateLauncherRelease(const Json& release) {
    const Json& schemaVersion = release.at("schemaVersion");
    const std::string product = release.at("product").get<std::string>();
    const std::string kind = release.at("kind").get<std::string>();
    const std::string platform = release.at("platform").get<std::string>();
    const std::string channel = release.at("channel").get<std::string>();
    require(schemaVersion == 1 && product == "tessaro" && kind == "bootstrapper" && platform == "win-x64" &&
                channel == "stable",
            "Launcherfreigabe ungültig.");

    require(isUuidText(release.at("releaseId").get<std::string>()), "Ungültige Launcherfreigabekennung.");
    require(isBuildIdText(release.at("buildId").get<std::string>()), "Ungültiger Launcherbuild.");
    require(isVersionText(release.at("version").get<std::string>()), "Launcherversion ungültig.");
    // Only the check matters here; the update preparation reads what the policy asks for.
    static_cast<void>(authenticodeRequired(release));

    const auto testOnly = release.find("testOnly");
    require(testOnly != release.end() && testOnly->is_boolean() && !testOnly->get<bool>(),
            "Testlauncher ist nicht produktiv verwendbar.");

    checkLauncherFile(release);
}

} // namespace tess
