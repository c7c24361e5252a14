// Command-line face of the window probe for scripts (the main job, GUI tests driven from the host):
//   window_probe_tool wait-window MS | status | rows | selected | select ROW | click ID | enabled ID
//                     | wait-status TEXT MS | box CAPTION MS | screenshot PNG | watch FOLDER MS
// watch prints every status line as it changes (screenshots of the first ones into FOLDER) until a row
// shows "Ausgewählt" with the window idle again (exit code 0), the window closes or MS have passed.
// Texts are printed as UTF-8; exit code 0 on success, 1 when the window or text did not appear.
#include "foundation/text.hpp"
#include "support/screenshot.hpp"
#include "support/test_support.hpp"
#include "support/window_probe.hpp"

#include <cstdio>
#include <cwchar>
#include <string>
#include <utility>

namespace {

void print(const std::wstring& text) {
    std::string bytes = tess::toUtf8(text) + "\n";
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    std::fflush(stdout);
}

std::wstring onOneLine(std::wstring text) {
    for (size_t at = text.find(L'\n'); at != std::wstring::npos; at = text.find(L'\n', at))
        text.replace(at, 1, L" | ");
    return text;
}

bool showsSelectedVersion(HWND window) {
    for (const auto& row : tess::test::listRows(window))
        if (row[3] == L"Ausgewählt")
            return tess::test::isEnabled(window, 101);
    return false;
}

int watch(HWND window, const std::filesystem::path& folder, DWORD timeoutMs) {
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    std::wstring last;
    int shots = 0;
    while (::GetTickCount64() < deadline && ::IsWindow(window)) {
        std::wstring status = tess::test::statusText(window);
        if (!status.empty() && status != last) {
            last = status;
            print(L"  | " + onOneLine(status));
            if (shots < 8)
                tess::test::saveScreenshot(window,
                                           folder / (L"progress-" + std::to_wstring(++shots) + L".png"));
        }
        if (showsSelectedVersion(window))
            return 0;
        ::Sleep(50);
    }
    return 1;
}

DWORD number(const wchar_t* text) {
    return static_cast<DWORD>(std::wcstoul(text, nullptr, 10));
}

int run(wchar_t** argv) {
    const std::wstring command = argv[1];
    if (command == L"box") {
        auto box = tess::test::dismissMessageBox(argv[2], number(argv[3]));
        if (!box)
            return 1;
        print(box->text);
        return 0;
    }
    HWND window = tess::test::findManagerWindow(command == L"wait-window" ? number(argv[2]) : 5000);
    if (!window)
        return 1;
    if (command == L"wait-window")
        return 0;
    if (command == L"status")
        print(tess::test::statusText(window));
    else if (command == L"rows")
        for (const auto& row : tess::test::listRows(window))
            print(row[0] + L"\t" + row[1] + L"\t" + row[2] + L"\t" + row[3]);
    else if (command == L"selected")
        print(std::to_wstring(tess::test::selectedRow(window)));
    else if (command == L"select")
        tess::test::selectRow(window, static_cast<int>(std::wcstol(argv[2], nullptr, 10)));
    else if (command == L"click")
        tess::test::clickButton(window, static_cast<int>(number(argv[2])));
    else if (command == L"enabled")
        return tess::test::isEnabled(window, static_cast<int>(number(argv[2]))) ? 0 : 1;
    else if (command == L"watch")
        return watch(window, argv[2], number(argv[3]));
    else if (command == L"screenshot")
        tess::test::saveScreenshot(window, argv[2]);
    else if (command == L"wait-status") {
        std::wstring text = tess::test::waitForStatus(window, argv[2], number(argv[3]));
        print(text);
        return text.find(argv[2]) != std::wstring::npos ? 0 : 1;
    } else
        return 2;
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    static const std::pair<const wchar_t*, int> commands[] = {
        {L"wait-window", 1}, {L"status", 0},     {L"rows", 0},    {L"selected", 0},
        {L"select", 1},      {L"click", 1},      {L"enabled", 1}, {L"box", 2},
        {L"wait-status", 2}, {L"screenshot", 1}, {L"watch", 2},
    };
    for (const auto& [name, arguments] : commands) {
        if (argc != arguments + 2 || std::wstring(argv[1]) != name)
            continue;
        try {
            return run(argv);
        } catch (const std::exception& failure) {
            std::fprintf(stderr, "window_probe_tool: %s\n", failure.what());
            return 1;
        }
    }
    std::fputs("usage: window_probe_tool wait-window MS | status | rows | selected | select ROW | click ID | "
               "enabled ID | wait-status TEXT MS | box CAPTION MS | screenshot PNG | watch FOLDER MS\n",
               stderr);
    return 2;
}
