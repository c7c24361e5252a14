#include "install/archive_paths.hpp"

#include "foundation/error.hpp"
#include "foundation/text.hpp"

#include <windows.h>

#include <array>
#include <utility>

namespace tess {
namespace {

constexpr std::size_t maxPathBytes = 240;
constexpr std::size_t maxSegmentUnits = 255;

bool isForbiddenByte(char c) {
    return std::string_view("\\:*?<>|\"").find(c) != std::string_view::npos || c == '\0';
}

// Windows treats a fourth character of COM/LPT as a port number when it is any kind of digit, not only
// 0-9; the Latin-1 superscripts are the ones its own table lists below U+0100.
bool isDigitCharacter(wchar_t c) {
    if ((c >= L'0' && c <= L'9') || c == L'\u00B9' || c == L'\u00B2' || c == L'\u00B3')
        return true;
    if (c <= 0xFF)
        return false;
    WORD type = 0;
    return ::GetStringTypeW(CT_CTYPE1, &c, 1, &type) && (type & C1_DIGIT) != 0;
}

// Windows drops the spaces before the extension when it opens a name, so "nul .txt" is the device.
std::wstring asciiUpperBaseName(std::wstring_view segment) {
    std::wstring base(segment.substr(0, segment.find(L'.')));
    base.erase(base.find_last_not_of(L' ') + 1);
    for (wchar_t& c : base)
        if (c >= L'a' && c <= L'z')
            c = static_cast<wchar_t>(c - L'a' + L'A');
    return base;
}

bool isReservedName(std::wstring_view segment) {
    static constexpr std::array<std::wstring_view, 7> devices = {L"CON",    L"PRN",    L"AUX",    L"NUL",
                                                                 L"CLOCK$", L"CONIN$", L"CONOUT$"};
    const std::wstring base = asciiUpperBaseName(segment);
    for (std::wstring_view device : devices)
        if (base == device)
            return true;
    return base.size() == 4 && (base.starts_with(L"COM") || base.starts_with(L"LPT")) &&
           isDigitCharacter(base[3]);
}

void checkSegment(std::wstring_view segment) {
    require(!segment.empty() && segment != L"." && segment != L"..", "Unzulässiger Archivpfad.");
    require(segment.size() <= maxSegmentUnits, "Unzulässiger Archivpfad.");
    require(segment.back() != L'.' && segment.back() != L' ', "Unzulässiger Archivpfad.");
    for (wchar_t c : segment)
        require(c >= 32 && c != 127, "Steuerzeichen im Archivpfad.");
    require(!isReservedName(segment), "Reservierter Windows-Dateiname.");
}

} // namespace

std::wstring checkArchivePath(std::string_view path) {
    require(!path.empty() && path.size() <= maxPathBytes, "Unzulässiger Archivpfad.");
    for (char c : path)
        require(!isForbiddenByte(c), "Unzulässiger Archivpfad.");
    std::wstring wide = toWide(path);
    require(wide.front() != L'/' && wide.back() != L'/', "Absoluter oder leerer Archivpfad.");
    std::wstring_view rest = wide;
    for (;;) {
        const std::size_t slash = rest.find(L'/');
        checkSegment(rest.substr(0, slash));
        if (slash == std::wstring_view::npos)
            break;
        rest.remove_prefix(slash + 1);
    }
    return wide;
}

std::wstring archivePathKey(std::wstring_view checkedPath) {
    // Upper case first, as the file system compares names (some letters meet only in that direction),
    // then lower case, the form the keys are written in.
    std::wstring key(checkedPath);
    for (DWORD mapping : {LCMAP_UPPERCASE, LCMAP_LOWERCASE}) {
        if (key.empty())
            break;
        std::wstring folded(key.size(), L'\0');
        const int length =
            ::LCMapStringEx(LOCALE_NAME_INVARIANT, mapping, key.data(), static_cast<int>(key.size()),
                            folded.data(), static_cast<int>(folded.size()), nullptr, nullptr, 0);
        require(length == static_cast<int>(folded.size()), "Ungültiger Text.");
        key = std::move(folded);
    }
    return key;
}

} // namespace tess
