#include "shell/window.hpp"

#include "foundation/error.hpp"
#include "foundation/text.hpp"
#include "trust/envelope.hpp"

#include <string>

namespace tess {
namespace {

LRESULT CALLBACK proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_DESTROY:
        ::PostQuitMessage(0);
        return 0;
    default:
        return ::DefWindowProcW(window, message, wParam, lParam);
    }
}

} // namespace

HWND createMainWindow(HINSTANCE instance) {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = proc;
    windowClass.hInstance = instance;
    windowClass.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = windowClassName;
    ::RegisterClassW(&windowClass);

    const std::wstring title = toWide("TESSARO Setup und Versionsverwaltung " + std::string(launcherVersion));
    HWND window =
        ::CreateWindowExW(0, windowClassName, title.c_str(), WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX,
                          CW_USEDEFAULT, CW_USEDEFAULT, 928, 620, nullptr, nullptr, instance, nullptr);
    require(window != nullptr, "Installeroberfläche konnte nicht geöffnet werden.");
    return window;
}

void joinBackgroundOperation() {}

} // namespace tess
