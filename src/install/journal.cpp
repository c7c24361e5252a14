#include "install/journal.hpp"

#include "foundation/crypto.hpp"
#include "foundation/files.hpp"
#include "foundation/paths.hpp"
#include "foundation/text.hpp"

#include <windows.h>

#include <string>

namespace tess {
namespace fs = std::filesystem;
namespace {

constexpr std::string_view stagingInfix = "-staging-";
constexpr size_t stagingIdLength = 32;
constexpr MemberRule journalMembers[] = {{"phase", MemberType::text}, {"releaseId", MemberType::text}};

fs::path journalPath(const fs::path& dataRoot) {
    return dataRoot / L"journal.json";
}

bool hasAbsoluteForm(const std::wstring& text) {
    bool driveRooted = text.size() >= 3 &&
                       ((text[0] >= L'A' && text[0] <= L'Z') || (text[0] >= L'a' && text[0] <= L'z')) &&
                       text[1] == L':' && (text[2] == L'\\' || text[2] == L'/');
    return driveRooted || fs::path(text).has_root_directory();
}

// Lexically normal with backslashes and without the long-path prefix, so a journal written with either
// form compares equal to the releases folder.
fs::path comparable(const fs::path& path) {
    std::wstring text = path.native();
    if (text.starts_with(L"\\\\?\\") && !text.starts_with(L"\\\\?\\UNC\\"))
        text.erase(0, 4);
    std::wstring normal = fs::path(text).lexically_normal().native();
    for (wchar_t& c : normal)
        if (c == L'/')
            c = L'\\';
    return fs::path(normal);
}

bool isLowerHex(std::string_view text) {
    return text.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

bool isStagingName(const std::string& name, std::string_view releaseId) {
    std::string prefix = std::string(releaseId) + std::string(stagingInfix);
    return name.size() == prefix.size() + stagingIdLength && name.starts_with(prefix) &&
           isLowerHex(std::string_view(name).substr(prefix.size()));
}

fs::path stagingInPhase(const Client& client, const fs::path& dataRoot, std::string_view releaseId,
                        std::string_view manifestSha256, std::string_view phase) {
    Json journal = loadJsonOr(journalPath(dataRoot), Json::object());
    if (journal.value("phase", std::string()) != phase)
        return {};
    if (journal.value("releaseId", std::string()) != releaseId)
        return {};
    // A journal written before the manifest hash was recorded still counts as the same manifest.
    if (journal.contains("manifestSha256") &&
        journal.at("manifestSha256") != Json(std::string(manifestSha256)))
        return {};
    if (!journal.contains("stage") || !journal.at("stage").is_string())
        return {};
    std::wstring written = toWide(journal.at("stage").get_ref<const std::string&>());
    if (!hasAbsoluteForm(written))
        return {};

    fs::path stage = comparable(fs::path(written));
    fs::path releases = comparable(extendedPath(client.installRoot / L"releases", false));
    if (stage.parent_path() != releases)
        return {};
    if (!isStagingName(toUtf8(stage.filename().native()), releaseId))
        return {};
    refuseReparsePoints(stage);
    DWORD attributes = ::GetFileAttributesW(extendedPath(stage, false).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return {};
    return fs::path(written);
}

} // namespace

fs::path newStagingFolder(const fs::path& installRoot, std::string_view releaseId) {
    return installRoot / L"releases" /
           toWide(std::string(releaseId) + std::string(stagingInfix) + randomId());
}

void writeJournal(const fs::path& dataRoot, const Json& record) {
    writeFileDurably(journalPath(dataRoot), dumpCompact(record));
}

StateDocument readJournal(const fs::path& dataRoot) {
    return readStateDocument(journalPath(dataRoot), journalMembers);
}

fs::path findReusableStaging(const Client& client, const fs::path& dataRoot, std::string_view releaseId,
                             std::string_view manifestSha256) noexcept {
    try {
        return stagingInPhase(client, dataRoot, releaseId, manifestSha256, "verified");
    } catch (...) {
        return {};
    }
}

fs::path findInterruptedStaging(const Client& client, const fs::path& dataRoot, std::string_view releaseId,
                                std::string_view manifestSha256) noexcept {
    try {
        return stagingInPhase(client, dataRoot, releaseId, manifestSha256, "extracting");
    } catch (...) {
        return {};
    }
}

} // namespace tess
