// Installed versions for tests that need no portal: copies of the test application (tools/testapp)
// with a chosen behaviour, and published packages (tests/activation/make-packages.sh) placed with their
// signed manifests as receipts, exactly as an install leaves them.
#pragma once

#include "foundation/json.hpp"

#include <filesystem>
#include <string>

namespace tess::test {

std::filesystem::path testAppExe();

// A folder with a copy of the test application under the given name and its behaviour file.
void prepareTestApp(const std::filesystem::path& folder, const Json& behaviour,
                    const std::wstring& exeName = L"appTESSARO.exe");

struct PublishedPackage {
    std::string releaseId;
    std::filesystem::path folder;   // the tree the package was built from
    std::filesystem::path manifest; // the signed manifest envelope
};
PublishedPackage publishedPackage(const std::string& name);

// installRoot\releases\{id} with the package's files and dataRoot\receipts\{id}.json; returns the id.
std::string installPackage(const std::filesystem::path& installRoot, const std::filesystem::path& dataRoot,
                           const std::string& name);

// Waits for a JSON file another process writes at once; an empty object after the time-out.
Json awaitJsonFile(const std::filesystem::path& path, unsigned timeoutMs);

} // namespace tess::test
