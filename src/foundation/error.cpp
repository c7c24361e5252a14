#include "foundation/error.hpp"

#include "foundation/text.hpp"

#include <windows.h>

#include <cwctype>
#include <vector>

namespace tess {
namespace {

std::wstring systemMessage(std::uint32_t code, DWORD language) {
    std::vector<wchar_t> buffer(2048, L'\0');
    DWORD length = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                                    language, buffer.data(), static_cast<DWORD>(buffer.size()), nullptr);
    return std::wstring(buffer.data(), length);
}

std::string composeFinalizeMessage(std::uint32_t code, const std::string& detail) {
    std::string message =
        code == ERROR_CANCELLED ? "Installation abgebrochen" : "Installation nicht abgeschlossen";
    message += " (Windows-Fehler " + std::to_string(code) + ").";
    std::wstring text = systemMessage(code, MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN));
    if (text.empty())
        text = systemMessage(code, 0);
    while (!text.empty() && std::iswspace(text.back()))
        text.pop_back();
    if (!text.empty())
        message += "\n" + toUtf8(text);
    if (!detail.empty())
        message += " " + detail;
    if (code == ERROR_CANCELLED)
        message += " Die vorbereiteten Dateien bleiben erhalten.";
    return message;
}

} // namespace

FinalizeError::FinalizeError(std::uint32_t code, std::int32_t attemptCount, const std::string& detail)
    : Error(composeFinalizeMessage(code, detail)), windowsError(code), attempts(attemptCount) {}

} // namespace tess
