// The version manager window: class registration, creation and the window procedure.
#pragma once

#include <windows.h>

#include <string>

namespace tess {

inline constexpr const wchar_t* windowClassName = L"CORVALIS.NativeInstaller";

// Registers the class and creates the main window; throws when the window cannot be created.
HWND createMainWindow(HINSTANCE instance);

// Replaces the status line (main thread only); the lines of the start-up operation follow it.
void showStatusLine(const std::string& text);

// Joins the background operation's thread if one is still running after the message loop.
void joinBackgroundOperation();

} // namespace tess
