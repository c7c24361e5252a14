// Browser sign-in (authorization code with PKCE) through a one-connection listener on the loopback
// address, and the two text codecs every portal request uses. The verifier and state live only in
// memory for the length of one sign-in.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tess {

inline constexpr std::uint16_t signInPort = 43872;
inline constexpr std::string_view signInRedirectAddress = "http://127.0.0.1:43872/callback";
inline constexpr std::string_view signInScope = "openid profile email offline_access software.download";

// Every byte but ASCII letters, digits and "-._~" as "%" and two upper-case hexadecimal digits.
[[nodiscard]] std::string percentEncode(std::string_view text);
// "+" is a space, "%" and two hexadecimal digits a byte; a broken escape is refused.
[[nodiscard]] std::string formDecode(std::string_view text);

} // namespace tess
