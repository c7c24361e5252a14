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
// The waits of one sign-in: cycles of up to one second, and no more time in all than the sign-in
// wait of the build settings (300 such cycles), however it is spent; one connection gets two seconds for
// each read and ten seconds in all to deliver its request, so a silent or trickling local client cannot
// hold the sign-in.
inline constexpr std::uint32_t signInCycleMs = 1000;
inline constexpr std::uint32_t signInReceiveTimeoutMs = 2000;
inline constexpr std::uint32_t signInConnectionLimitMs = 10000;

// Every byte but ASCII letters, digits and "-._~" as "%" and two upper-case hexadecimal digits.
[[nodiscard]] std::string percentEncode(std::string_view text);
// "+" is a space, "%" and two hexadecimal digits a byte; a broken escape is refused.
[[nodiscard]] std::string formDecode(std::string_view text);

} // namespace tess
