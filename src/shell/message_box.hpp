// The message boxes the entry and the window show; error texts are converted so that showing one
// can never fail, whatever bytes a standard-library error carries.
#pragma once

#include <windows.h>

#include <string_view>

namespace tess {

inline constexpr const wchar_t* installerCaption = L"TESSARO Installer";
inline constexpr const wchar_t* startCaption = L"TESSARO Start";
inline constexpr const wchar_t* windowCaption = L"TESSARO";

void showMessage(HWND owner, std::string_view text, const wchar_t* caption, UINT icon) noexcept;

} // namespace tess
