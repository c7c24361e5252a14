#include "activation/compatibility.hpp"

#include "foundation/error.hpp"
#include "trust/envelope.hpp"

#include <windows.h>

#include <array>
#include <cmath>
#include <string_view>

namespace tess {
namespace {

using VersionTriple = std::array<std::uint32_t, 3>;

// Exactly three dotted unsigned numbers up to 65535 and nothing else.
std::optional<VersionTriple> parseVersion(std::string_view text) {
    VersionTriple parts{};
    size_t position = 0;
    for (size_t index = 0; index < parts.size(); ++index) {
        if (index > 0) {
            if (position >= text.size() || text[position] != '.')
                return std::nullopt;
            ++position;
        }
        size_t start = position;
        std::uint32_t value = 0;
        while (position < text.size() && text[position] >= '0' && text[position] <= '9') {
            value = value * 10 + static_cast<std::uint32_t>(text[position] - '0');
            if (value > 65535)
                return std::nullopt;
            ++position;
        }
        if (position == start)
            return std::nullopt;
        parts[index] = value;
    }
    if (position != text.size())
        return std::nullopt;
    return parts;
}

bool launcherIsNewEnough(const std::string& minimum) {
    std::optional<VersionTriple> needed = parseVersion(minimum);
    std::optional<VersionTriple> own = parseVersion(launcherVersion);
    return needed && own && *needed <= *own;
}

// Booleans and integers as they are, floating-point values truncated; other types raise the library's
// type error.
bool buildIsAtLeast(std::uint32_t build, const Json& minimum) {
    if (minimum.is_boolean())
        return build >= (minimum.get<bool>() ? 1u : 0u);
    if (minimum.is_number_unsigned())
        return build >= minimum.get<std::uint64_t>();
    if (minimum.is_number_integer())
        return static_cast<std::int64_t>(build) >= minimum.get<std::int64_t>();
    if (minimum.is_number_float())
        return static_cast<double>(build) >= std::trunc(minimum.get<double>());
    return build >= minimum.get<std::int64_t>();
}

} // namespace

std::optional<std::uint32_t> windowsBuildNumber() {
    using RtlGetVersionFunction = LONG(WINAPI*)(RTL_OSVERSIONINFOW*);
    HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    auto function = ntdll ? reinterpret_cast<RtlGetVersionFunction>(
                                reinterpret_cast<void*>(::GetProcAddress(ntdll, "RtlGetVersion")))
                          : nullptr;
    if (!function)
        return std::nullopt;
    RTL_OSVERSIONINFOW info{};
    static_assert(sizeof info == 276);
    info.dwOSVersionInfoSize = sizeof info;
    if (function(&info) != 0)
        return std::nullopt;
    return static_cast<std::uint32_t>(info.dwBuildNumber);
}

void checkCompatibility(const Json& manifest, const Json& preflightAnswer) {
    const Json& compatibility = manifest.at("compatibility");
    const auto schema = preflightAnswer.at("profileSchema").get<std::int64_t>();
    require(compatibility.at("profileSchemaMin").get<std::int64_t>() <= schema &&
                schema <= compatibility.at("profileSchemaMax").get<std::int64_t>(),
            "Benutzerprofil benötigt eine andere Softwareversion.");

    require(launcherIsNewEnough(compatibility.value("minLauncherVersion", std::string("1.0.0"))),
            "Diese Version benötigt einen neueren TESSARO-Installer.");

    std::optional<std::uint32_t> build = windowsBuildNumber();
    require(build && buildIsAtLeast(*build, compatibility.at("minWindowsBuild")),
            "Diese Windows-Version wird nicht unterstützt.");
}

} // namespace tess
