// The program's own state documents (current version, journal, catalog state, launcher order) as their
// readers find them: absent, sound, or damaged by a power cut, a disk fault or another hand. A damaged
// document is never removed: it is set aside beside itself for support, and a new one takes its place.
#pragma once

#include "foundation/json.hpp"

#include <filesystem>
#include <span>
#include <string>
#include <string_view>

namespace tess {

enum class MemberType { text, flag, number };

// A member a reader looks up with a default: when present it must have this type.
struct MemberRule {
    std::string_view name;
    MemberType type;
};

struct StateDocument {
    enum class Condition { absent, sound, damaged };
    std::filesystem::path path;
    Condition condition = Condition::absent;
    // The document when it is sound; otherwise an empty object, which every reader takes as "nothing".
    Json content = Json::object();
    // For a damaged document the message a reader that cannot go on shows: the parser's or the size
    // limit's, and the parser's for a document that parses into something its readers cannot use.
    std::string failure;

    bool damaged() const { return condition == Condition::damaged; }
};

// Reads the document with the limit and the parser of every state document. Damaged: it does not
// parse, is over the limit, is not an object, or a member named in rules has another type. What is no
// fault of the document (a link on the path, a file that cannot be opened) is thrown as before.
StateDocument readStateDocument(const std::filesystem::path& path, std::span<const MemberRule> rules);

// Moves the document to "<name>.damaged-<random id>" in its folder and returns that path.
std::filesystem::path setAsideDamagedDocument(const std::filesystem::path& path);

// The line that tells the user which state document was damaged and that the versions are kept.
std::string damagedDocumentNotice(const std::filesystem::path& path);

} // namespace tess
