#include "foundation/state_document.hpp"

#include "foundation/crypto.hpp"
#include "foundation/disk.hpp"
#include "foundation/error.hpp"
#include "foundation/paths.hpp"
#include "foundation/text.hpp"

#include <algorithm>

namespace tess {
namespace fs = std::filesystem;
namespace {

StateDocument damaged(const fs::path& path, std::string failure) {
    return {path, StateDocument::Condition::damaged, Json::object(), std::move(failure)};
}

bool hasType(const Json& value, MemberType type) {
    switch (type) {
    case MemberType::text:
        return value.is_string();
    case MemberType::flag:
        return value.is_boolean();
    case MemberType::number:
        return value.is_number();
    }
    return false;
}

bool membersFit(const Json& content, std::span<const MemberRule> rules) {
    return std::all_of(rules.begin(), rules.end(), [&content](const MemberRule& rule) {
        const auto member = content.find(std::string(rule.name));
        return member == content.end() || hasType(*member, rule.type);
    });
}

bool isOversizedFile(const fs::path& path) {
    const DiskEntry entry = queryEntry(path, "status");
    return entry.exists && !entry.directory && entry.size > maxDocumentBytes;
}

} // namespace

StateDocument readStateDocument(const fs::path& path, std::span<const MemberRule> rules) {
    const fs::path target = extendedPath(path, false);
    if (!pathExists(target))
        return {path, StateDocument::Condition::absent, Json::object(), {}};
    refuseReparsePoints(target);
    std::string bytes;
    try {
        bytes = readFileBounded(target, maxDocumentBytes);
    } catch (const Error& refusal) {
        // A file over the limit is the document's own fault; a folder in its place or a file that cannot
        // be opened is not, and is refused as before.
        if (!isOversizedFile(target))
            throw;
        return damaged(path, refusal.what());
    }
    Json content;
    try {
        content = parse(bytes);
    } catch (const Error& defect) {
        return damaged(path, defect.what());
    }
    // To its readers a document they cannot use is as invalid as one that does not parse.
    if (!content.is_object() || !membersFit(content, rules))
        return damaged(path, "JSON-Dokument ist unvollstaendig oder ungueltig.");
    return {path, StateDocument::Condition::sound, std::move(content), {}};
}

fs::path setAsideDamagedDocument(const fs::path& path) {
    const fs::path aside(path.native() + L".damaged-" + toWide(randomId()));
    renameEntry(path, aside);
    return aside;
}

std::string damagedDocumentNotice(const fs::path& path) {
    return "Gespeicherter Zustand ist beschädigt (" + toUtf8(path.filename().native()) +
           "). Installierte Versionen bleiben erhalten; bitte eine Version auswählen und installieren.";
}

} // namespace tess
