// Strict conversions between the UTF-8 held in strings and JSON and the UTF-16 of Windows calls,
// plus the lenient form used only where an error is put on screen.
#pragma once

#include <string>
#include <string_view>

namespace tess {

std::string toUtf8(std::wstring_view text);
std::wstring toWide(std::string_view text);

// For showing an error text: the strict conversion when the bytes are UTF-8, otherwise the ANSI code
// page (standard-library errors may carry ANSI text such as a user folder "Jürgen"). Never throws.
std::wstring toDisplayText(std::string_view text) noexcept;

} // namespace tess
