// Shared pieces of the installation tests: the fixture folder made by make_install_fixtures.py, small
// program trees with matching manifests, and the text of whatever a call throws.
#pragma once

#include "foundation/crypto.hpp"
#include "foundation/json.hpp"
#include "foundation/text.hpp"
#include "support/test_support.hpp"
#include "trust/envelope.hpp"

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

namespace tess::test {

inline std::filesystem::path installFixtures() {
    return binaryDir() / L"install-fixtures";
}

inline Json signedManifest(const std::filesystem::path& envelopeFile) {
    return verifyEnvelope(readBytes(envelopeFile), parse(builtinTrustKeys));
}

struct PackageFile {
    std::string path;
    std::string content;
};

inline std::vector<PackageFile> basicPackage() {
    return {{"appTESSARO.exe", "MZ stands in for the application\n"},
            {"delivery-manifest.json", R"({"buildId":"5","engine":"tessaro-desktop"})"},
            {"docs/readme.txt", "Liesmich\n"},
            {"bin/plugins/core.dll", std::string(70000, 'c')}};
}

inline Json manifestFor(const std::vector<PackageFile>& files, const std::string& policy = "unsigned") {
    Json list = Json::array();
    std::uint64_t total = 0;
    for (const PackageFile& file : files) {
        list.push_back(
            {{"path", file.path}, {"sha256", sha256Hex(file.content)}, {"size", file.content.size()}});
        total += file.content.size();
    }
    const std::string releaseId = "2f1c6a58-4d3e-4b7a-9c61-0e5d8a7b3f21";
    return {{"authenticodePolicy", policy},
            {"schemaVersion", 1},
            {"product", "tessaro"},
            {"platform", "win-x64"},
            {"releaseId", releaseId},
            {"channel", "stable"},
            {"version", "7.1.0"},
            {"buildId", "5"},
            {"artifact",
             {{"artifactId", releaseId},
              {"size", 1000},
              {"unpackedSize", total},
              {"sha256", std::string(64, 'a')},
              {"fileCount", files.size()}}},
            {"compatibility",
             {{"engine", "tessaro-desktop"},
              {"minLauncherVersion", "1.0.0"},
              {"minWindowsBuild", 10240},
              {"profileSchemaMin", 1},
              {"profileSchemaMax", 1},
              {"profileSchemaWrite", 1},
              {"projectSchemaMin", 1},
              {"projectSchemaMax", 1},
              {"projectSchemaWrite", 1}}},
            {"files", list}};
}

inline void writeTree(const std::filesystem::path& root, const std::vector<PackageFile>& files) {
    std::filesystem::create_directories(root);
    for (const PackageFile& file : files) {
        std::wstring relative = toWide(file.path);
        std::replace(relative.begin(), relative.end(), L'/', L'\\');
        writeBytes(root / relative, file.content);
    }
}

// Names directly inside a folder, sorted.
inline std::vector<std::wstring> namesIn(const std::filesystem::path& folder) {
    std::vector<std::wstring> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        names.push_back(entry.path().filename().native());
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace tess::test
