// Setup: makes the running, verified launcher the user's installed launcher (or stages it for the
// replacement helper when another launcher is in place), and registers shortcuts and the uninstall entry.
#pragma once

#include <windows.h>
#include <shlobj.h>

#include <filesystem>
#include <optional>

namespace tess {

// A known folder of the user, or nothing when Windows cannot name it.
std::optional<std::filesystem::path> knownFolderPath(REFKNOWNFOLDERID id);

// Writes a shell link to target with the target's folder as working directory.
void writeShortcut(const std::filesystem::path& shortcut, const std::filesystem::path& target);

// Whether the launcher at this path matches its receipt and carries a file version above the running
// launcher's (major, minor and build compared; the fourth part is ignored). Never throws.
[[nodiscard]] bool installedLauncherIsNewer(const std::filesystem::path& launcher) noexcept;

// HKEY_CURRENT_USER below this key holds the uninstall entry.
inline constexpr const wchar_t* uninstallRegistryKey =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\CORVALIS.TESSARO";

} // namespace tess
