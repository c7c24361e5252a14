#include "foundation/text.hpp"

#include "foundation/error.hpp"

#include <windows.h>

namespace tess {

std::string toUtf8(std::wstring_view text) {
    if (text.empty())
        return {};
    int size = ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(),
                                     static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    require(size >= 1, "Ungültiger Text.");
    std::string result(static_cast<size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                          result.data(), size, nullptr, nullptr);
    return result;
}

std::wstring toWide(std::string_view text) {
    if (text.empty())
        return {};
    int size = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                                     static_cast<int>(text.size()), nullptr, 0);
    require(size >= 1, "Ungültige UTF-8-Daten.");
    std::wstring result(static_cast<size_t>(size), L'\0');
    ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                          result.data(), size);
    return result;
}

std::wstring toDisplayText(std::string_view text) noexcept {
    try {
        return toWide(text);
    } catch (...) {
    }
    try {
        int size = ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
        if (size < 1)
            return L"\uFFFD";
        std::wstring result(static_cast<size_t>(size), L'\0');
        ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), result.data(), size);
        return result;
    } catch (...) {
        return {};
    }
}

} // namespace tess
