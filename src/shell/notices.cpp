#include "shell/notices.hpp"

#include "foundation/error.hpp"
#include "foundation/files.hpp"

#include <shellapi.h>

#include <string_view>

namespace tess {

void showNotices(HWND owner, const std::filesystem::path& dataRoot) {
    HMODULE module = ::GetModuleHandleW(nullptr);
    HRSRC resource = ::FindResourceW(module, MAKEINTRESOURCEW(102), RT_RCDATA);
    require(resource != nullptr, "Lizenzhinweise fehlen.");
    HGLOBAL loaded = ::LoadResource(module, resource);
    require(loaded != nullptr, "Lizenzhinweise fehlen.");
    const auto* bytes = static_cast<const char*>(::LockResource(loaded));
    const std::filesystem::path file = dataRoot / L"THIRD-PARTY-NOTICES.txt";
    writeFileDurably(file, std::string_view(bytes, ::SizeofResource(module, resource)));
    auto result = reinterpret_cast<INT_PTR>(
        ::ShellExecuteW(owner, L"open", file.c_str(), nullptr, nullptr, SW_SHOWNORMAL));
    require(result > 32, "Textanzeige nicht verfügbar.");
}

} // namespace tess
