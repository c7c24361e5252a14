#include "shell/message_box.hpp"

#include "foundation/text.hpp"

namespace tess {

void showMessage(HWND owner, std::string_view text, const wchar_t* caption, UINT icon) noexcept {
    ::MessageBoxW(owner, toDisplayText(text).c_str(), caption, MB_OK | icon);
}

} // namespace tess
