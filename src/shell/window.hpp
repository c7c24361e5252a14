// The version manager window: class registration, creation and the window procedure.
#pragma once

#include <windows.h>

namespace tess {

inline constexpr const wchar_t* windowClassName = L"CORVALIS.NativeInstaller";

// Registers the class and creates the main window; throws when the window cannot be created.
HWND createMainWindow(HINSTANCE instance);

// Joins the background operation's thread if one is still running after the message loop.
void joinBackgroundOperation();

} // namespace tess
