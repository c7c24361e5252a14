// PNG screenshots of a window as it shows on the screen, for people to look at after the GUI tests.
#pragma once

#include <windows.h>

#include <filesystem>

namespace tess::test {

// The folder the tests' screenshots go to (the build tree's "screenshots"), created on first use.
std::filesystem::path screenshotFolder();

// Saves the window's screen area as a PNG file; throws std::runtime_error when that fails.
void saveScreenshot(HWND window, const std::filesystem::path& file);

} // namespace tess::test
