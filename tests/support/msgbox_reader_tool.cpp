// Prints the text of a message box with the given caption (UTF-8, on standard output) and presses its
// OK button, so scripts can assert the exact German text another Wine process showed.
#include "foundation/text.hpp"
#include "support/test_support.hpp"

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        std::fputs("usage: msgbox_reader_tool CAPTION [TIMEOUT_MS]\n", stderr);
        return 2;
    }
    const DWORD timeout = argc > 2 ? static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10)) : 30000;
    auto box = tess::test::dismissMessageBox(argv[1], timeout);
    if (!box) {
        std::fputs("no message box with that caption\n", stderr);
        return 1;
    }
    std::string text = tess::toUtf8(box->text);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
    return 0;
}
