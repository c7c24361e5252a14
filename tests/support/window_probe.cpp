#include "support/window_probe.hpp"

#include "foundation/handles.hpp"
#include "shell/window.hpp"

#include <commctrl.h>

namespace tess::test {
namespace {

constexpr int versionListId = 105;
constexpr int statusTop = 431;

// Memory inside the window's process, which list-view messages need for their structures.
class RemoteBuffer {
  public:
    RemoteBuffer(HWND window, size_t size) : size_(size) {
        DWORD processId = 0;
        ::GetWindowThreadProcessId(window, &processId);
        process_.reset(
            ::OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, processId));
        address_ = ::VirtualAllocEx(process_.get(), nullptr, size, MEM_COMMIT, PAGE_READWRITE);
    }
    ~RemoteBuffer() {
        if (address_)
            ::VirtualFreeEx(process_.get(), address_, 0, MEM_RELEASE);
    }
    RemoteBuffer(const RemoteBuffer&) = delete;
    RemoteBuffer& operator=(const RemoteBuffer&) = delete;

    void* address() const { return address_; }
    void write(const void* data, size_t size, size_t offset = 0) {
        ::WriteProcessMemory(process_.get(), static_cast<char*>(address_) + offset, data, size, nullptr);
    }
    void read(void* data, size_t size, size_t offset = 0) const {
        ::ReadProcessMemory(process_.get(), static_cast<char*>(address_) + offset, data, size, nullptr);
    }

  private:
    KernelHandle process_;
    void* address_ = nullptr;
    size_t size_;
};

std::wstring itemText(HWND list, RemoteBuffer& buffer, int item, int column) {
    constexpr size_t textOffset = sizeof(LVITEMW);
    constexpr int textChars = 1024;
    LVITEMW entry{};
    entry.iSubItem = column;
    entry.cchTextMax = textChars;
    entry.pszText = reinterpret_cast<LPWSTR>(static_cast<char*>(buffer.address()) + textOffset);
    buffer.write(&entry, sizeof entry);
    auto length = ::SendMessageW(list, LVM_GETITEMTEXTW, item, reinterpret_cast<LPARAM>(buffer.address()));
    std::wstring text(static_cast<size_t>(length), L'\0');
    if (length > 0)
        buffer.read(text.data(), static_cast<size_t>(length) * sizeof(wchar_t), textOffset);
    return text;
}

} // namespace

HWND findManagerWindow(DWORD timeoutMs) {
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    do {
        if (HWND window = ::FindWindowW(windowClassName, nullptr))
            return window;
        ::Sleep(50);
    } while (::GetTickCount64() < deadline);
    return nullptr;
}

HWND findManagerWindowOf(DWORD processId) {
    HWND window = nullptr;
    while ((window = ::FindWindowExW(nullptr, window, windowClassName, nullptr)) != nullptr) {
        DWORD owner = 0;
        ::GetWindowThreadProcessId(window, &owner);
        if (owner == processId)
            return window;
    }
    return nullptr;
}

std::wstring statusText(HWND window) {
    HWND found = nullptr;
    ::EnumChildWindows(
        window,
        [](HWND child, LPARAM result) -> BOOL {
            RECT rect;
            ::GetWindowRect(child, &rect);
            POINT corner{rect.left, rect.top};
            ::ScreenToClient(::GetParent(child), &corner);
            if (corner.y == statusTop) {
                wchar_t className[32] = {};
                ::GetClassNameW(child, className, 32);
                if (std::wstring(className) == L"Static") {
                    *reinterpret_cast<HWND*>(result) = child;
                    return FALSE;
                }
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&found));
    if (!found)
        return {};
    wchar_t text[4096] = {};
    ::SendMessageW(found, WM_GETTEXT, 4096, reinterpret_cast<LPARAM>(text));
    return text;
}

std::vector<std::vector<std::wstring>> listRows(HWND window) {
    HWND list = ::GetDlgItem(window, versionListId);
    RemoteBuffer buffer(window, sizeof(LVITEMW) + 1024 * sizeof(wchar_t));
    std::vector<std::vector<std::wstring>> rows;
    auto count = static_cast<int>(::SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
    for (int item = 0; item < count; ++item) {
        std::vector<std::wstring> row;
        for (int column = 0; column < 4; ++column)
            row.push_back(itemText(list, buffer, item, column));
        rows.push_back(row);
    }
    return rows;
}

std::vector<std::wstring> columnTitles(HWND window) {
    HWND list = ::GetDlgItem(window, versionListId);
    constexpr size_t textOffset = sizeof(LVCOLUMNW);
    constexpr int textChars = 256;
    RemoteBuffer buffer(window, textOffset + textChars * sizeof(wchar_t));
    std::vector<std::wstring> titles;
    for (int column = 0;; ++column) {
        LVCOLUMNW entry{};
        entry.mask = LVCF_TEXT;
        entry.cchTextMax = textChars;
        entry.pszText = reinterpret_cast<LPWSTR>(static_cast<char*>(buffer.address()) + textOffset);
        buffer.write(&entry, sizeof entry);
        if (!::SendMessageW(list, LVM_GETCOLUMNW, column, reinterpret_cast<LPARAM>(buffer.address())))
            return titles;
        wchar_t text[textChars] = {};
        buffer.read(text, sizeof text - sizeof(wchar_t), textOffset);
        titles.emplace_back(text);
    }
}

std::wstring controlText(HWND window, int id) {
    wchar_t text[1024] = {};
    ::SendMessageW(::GetDlgItem(window, id), WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text));
    return text;
}

int selectedRow(HWND window) {
    return static_cast<int>(::SendMessageW(::GetDlgItem(window, versionListId), LVM_GETNEXTITEM,
                                           static_cast<WPARAM>(-1), LVNI_SELECTED));
}

void selectRow(HWND window, int row) {
    HWND list = ::GetDlgItem(window, versionListId);
    RemoteBuffer buffer(window, sizeof(LVITEMW));
    LVITEMW state{};
    state.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    state.state = row < 0 ? 0 : LVIS_SELECTED | LVIS_FOCUSED;
    buffer.write(&state, sizeof state);
    ::SendMessageW(list, LVM_SETITEMSTATE, static_cast<WPARAM>(row),
                   reinterpret_cast<LPARAM>(buffer.address()));
}

void clickButton(HWND window, int id) {
    ::PostMessageW(::GetDlgItem(window, id), BM_CLICK, 0, 0);
}

bool isEnabled(HWND window, int id) {
    return ::IsWindowEnabled(::GetDlgItem(window, id)) != 0;
}

std::wstring waitForStatus(HWND window, const std::wstring& needle, DWORD timeoutMs) {
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    std::wstring text;
    do {
        text = statusText(window);
        if (text.find(needle) != std::wstring::npos)
            return text;
        ::Sleep(100);
    } while (::GetTickCount64() < deadline);
    return text;
}

} // namespace tess::test
