// Strict JSON: the one parser (depth and duplicate-member checks), bounded file reads and the compact
// writer. Objects are ordered by key, so documents always serialise in key order.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace tess {

using Json = nlohmann::json;

inline constexpr std::uint64_t maxDocumentBytes = 20971520; // 20 MiB

Json parse(std::string_view text);
std::string readFileBounded(const std::filesystem::path& path, std::uint64_t limit);
Json loadJsonOr(const std::filesystem::path& path, const Json& fallback);

// Compact, key-ordered, UTF-8 kept as it is; invalid UTF-8 in a string throws the library's type error.
std::string dumpCompact(const Json& document);

} // namespace tess
