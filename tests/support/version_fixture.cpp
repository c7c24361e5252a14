#include "support/version_fixture.hpp"

#include "foundation/files.hpp"
#include "support/test_support.hpp"

#include <windows.h>

#include "foundation/text.hpp"

namespace tess::test {
namespace fs = std::filesystem;

fs::path testAppExe() {
    return binaryDir() / L"testapp" / L"appTESSARO.exe";
}

void prepareTestApp(const fs::path& folder, const Json& behaviour, const std::wstring& exeName) {
    fs::create_directories(folder);
    fs::copy_file(testAppExe(), folder / exeName, fs::copy_options::overwrite_existing);
    writeBytes(folder / L"testapp-behaviour.json", dumpCompact(behaviour));
}

PublishedPackage publishedPackage(const std::string& name) {
    const Json index = parse(readBytes(binaryDir() / L"activation-packages" / L"index.json"));
    const Json& entry = index.at(name);
    return PublishedPackage{entry.at("releaseId").get<std::string>(),
                            hostPath(entry.at("folder").get<std::string>()),
                            hostPath(entry.at("manifest").get<std::string>())};
}

std::string installPackage(const fs::path& installRoot, const fs::path& dataRoot, const std::string& name) {
    const PublishedPackage package = publishedPackage(name);
    const fs::path target = installRoot / L"releases" / toWide(package.releaseId);
    fs::create_directories(target);
    fs::copy(package.folder, target, fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    fs::create_directories(dataRoot / L"receipts");
    writeBytes(dataRoot / L"receipts" / toWide(package.releaseId + ".json"), readBytes(package.manifest));
    return package.releaseId;
}

Json awaitJsonFile(const fs::path& path, unsigned timeoutMs) {
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    do {
        if (fs::exists(path))
            return parse(readBytes(path));
        ::Sleep(50);
    } while (::GetTickCount64() < deadline);
    return Json::object();
}

} // namespace tess::test
