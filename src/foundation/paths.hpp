// Path rules every file operation applies first (absolute, long-path prefix, no junctions or links on
// the way), private folders, the install-path check, and the two per-user roots.
#pragma once

#include <filesystem>

namespace tess {

std::filesystem::path extendedPath(const std::filesystem::path& path, bool force);
void refuseReparsePoints(const std::filesystem::path& path);
// The same for a path inside `root`, a folder the caller has checked itself: only the components after
// it are looked at.
void refuseReparsePointsBelow(const std::filesystem::path& root, const std::filesystem::path& path);
std::filesystem::path checkInstallPath(const std::filesystem::path& path);
void ensurePrivateDirectory(const std::filesystem::path& path);
std::filesystem::path localAppDataPath();
std::filesystem::path executablePath();
// The running executable as the file to read for its own hash, verification and copy. Below installRoot
// or dataRoot that is executablePath() itself, where every link stays refused. Elsewhere it is the final
// path of the open file: a Downloads folder moved to another drive and linked back still lets a
// downloaded setup read itself. Throws "Programmpfad nicht verfügbar." when that is not a regular file.
std::filesystem::path runningExecutableFile(const std::filesystem::path& installRoot,
                                            const std::filesystem::path& dataRoot);

// Creates a folder with all missing parents through Win32 (the standard library stumbles over the
// \\?\ prefix); failures surface as the standard file-system error of "create_directories".
void createDirectories(const std::filesystem::path& path);
// The same for a path inside `root`, a folder that exists: only the components after it are looked at.
void createDirectoriesBelow(const std::filesystem::path& root, const std::filesystem::path& path);

// Local AppData + "Programs/CORVALIS/TESSARO" and Local AppData + "CORVALIS/TESSARO/Updater".
std::filesystem::path installRootPath();
std::filesystem::path dataRootPath();
// The installed launcher: installRoot\TESSARO.exe.
std::filesystem::path installedLauncherPath();

} // namespace tess
