#include "foundation/json.hpp"

#include "foundation/disk.hpp"
#include "foundation/error.hpp"
#include "foundation/files.hpp"
#include "foundation/paths.hpp"
#include "foundation/text.hpp"

#include <windows.h>

#include <set>
#include <system_error>
#include <vector>

namespace tess {
namespace fs = std::filesystem;

Json parse(std::string_view text) {
    std::vector<std::set<std::string>> openObjects;
    auto check = [&openObjects](int depth, Json::parse_event_t event, Json& parsed) {
        if (depth >= 80)
            throw Error("JSON zu tief verschachtelt.");
        switch (event) {
        case Json::parse_event_t::object_start:
            openObjects.emplace_back();
            break;
        case Json::parse_event_t::key:
            if (!openObjects.back().insert(parsed.get_ref<const std::string&>()).second)
                throw Error("Doppeltes JSON-Feld.");
            break;
        case Json::parse_event_t::object_end:
            openObjects.pop_back();
            break;
        default:
            break;
        }
        return true;
    };
    try {
        return Json::parse(text.begin(), text.end(), check, true, false);
    } catch (const Json::exception&) {
        throw Error("JSON-Dokument ist unvollstaendig oder ungueltig.");
    }
}

std::string readFileBounded(const fs::path& path, std::uint64_t limit) {
    fs::path target = extendedPath(path, false);
    refuseReparsePoints(target);
    const std::string missing = "Datei fehlt oder ist zu groß: " + toUtf8(target.filename().native());

    const DiskEntry entry = queryEntry(target, "status");
    if (!entry.exists || entry.directory || entry.size > limit)
        throw Error(missing);
    // The file may have grown since the query: one byte past the limit is enough to tell.
    std::string content = readWholeFile(target, limit + 1);
    if (content.size() > limit)
        throw Error(missing);
    return content;
}

Json loadJsonOr(const fs::path& path, const Json& fallback) {
    fs::path target = extendedPath(path, false);
    if (!pathExists(target))
        return fallback;
    return parse(readFileBounded(target, maxDocumentBytes));
}

std::string dumpCompact(const Json& document) {
    return document.dump(-1, ' ', false, Json::error_handler_t::strict);
}

} // namespace tess
