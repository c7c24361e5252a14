// The stored portal sign-in: the token answer kept in credentials.dpapi, encrypted for the current
// Windows user, and its silent renewal. The document never reaches the disk unprotected.
#pragma once

#include "foundation/json.hpp"

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace tess {

inline constexpr std::string_view oauthClientId = "tessaro-installer";
inline constexpr std::string_view tokenPath = "/connect/token";
// A token that expires within this many seconds is renewed before use.
inline constexpr std::int64_t refreshMargin = 30;
inline constexpr std::uint64_t maxCredentialsBytes = 1048576; // 1 MiB

std::filesystem::path credentialsPath(const std::filesystem::path& dataRoot);

[[nodiscard]] std::string protectCredentials(std::string_view plain);
[[nodiscard]] std::string unprotectCredentials(std::string_view protectedBytes);

// The credentials step of the client construction: a missing, oversized, foreign or damaged file
// leaves the user signed out (an empty object) without a message.
[[nodiscard]] Json loadStoredCredentials(const std::filesystem::path& dataRoot) noexcept;

} // namespace tess
