// The open-source notices: the resource text written to dataRoot and opened in the user's viewer.
#pragma once

#include <windows.h>

#include <filesystem>

namespace tess {

// Writes the notices to dataRoot\THIRD-PARTY-NOTICES.txt (replacing the file) and opens it.
void showNotices(HWND owner, const std::filesystem::path& dataRoot);

} // namespace tess
