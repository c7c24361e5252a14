// Path rules every file operation applies first (absolute, long-path prefix, no junctions or links on
// the way), private folders, the install-path check, and the two per-user roots.
#pragma once

#include <filesystem>

namespace tess {

std::filesystem::path extendedPath(const std::filesystem::path& path, bool force);
void refuseReparsePoints(const std::filesystem::path& path);
std::filesystem::path checkInstallPath(const std::filesystem::path& path);
void ensurePrivateDirectory(const std::filesystem::path& path);
std::filesystem::path localAppDataPath();
std::filesystem::path executablePath();

// Creates a folder with all missing parents through Win32 (the standard library stumbles over the
// \\?\ prefix); failures surface as the standard file-system error of "create_directories".
void createDirectories(const std::filesystem::path& path);

// Local AppData + "Programs/CORVALIS/TESSARO" and Local AppData + "CORVALIS/TESSARO/Updater".
std::filesystem::path installRootPath();
std::filesystem::path dataRootPath();
// The installed launcher: installRoot\TESSARO.exe.
std::filesystem::path installedLauncherPath();

} // namespace tess
