#include "foundation/error.hpp"
#include "foundation/text.hpp"

#include <gtest/gtest.h>

#include <windows.h>

namespace tess {
namespace {

template <class F> std::string messageOf(F&& call) {
    try {
        call();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "(no exception)";
}

TEST(TextConversion, StrictInBothDirections) {
    EXPECT_EQ(toUtf8(L""), "");
    EXPECT_EQ(toWide(""), L"");
    EXPECT_EQ(toWide("\xC3\x84"), std::wstring(1, L'\u00C4'));
    EXPECT_EQ(toUtf8(std::wstring(1, L'\u00C4')), "\xC3\x84");
    EXPECT_EQ(messageOf([] { toUtf8(std::wstring(1, wchar_t(0xD800))); }), "Ungültiger Text.");
    EXPECT_EQ(messageOf([] { toWide("\xC3\x28"); }), "Ungültige UTF-8-Daten.");
    EXPECT_EQ(toWide(std::string("a\0b", 3)), std::wstring(L"a\0b", 3));
}

TEST(TextConversion, DisplayTextNeverThrowsAndKeepsValidUtf8) {
    EXPECT_EQ(toDisplayText("Jürgen"), L"J\u00FCrgen");
    // "Jürgen" in an ANSI code page, as a standard-library error may carry it.
    std::wstring shown = toDisplayText("J\xFCrgen");
    EXPECT_EQ(shown.size(), 6u);
    EXPECT_EQ(shown.substr(0, 1), L"J");
    EXPECT_EQ(shown.substr(2), L"rgen");
}

std::string systemText(DWORD code) {
    wchar_t buffer[2048] = {};
    DWORD n = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                               MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN), buffer, 2048, nullptr);
    if (n == 0)
        n = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                             buffer, 2048, nullptr);
    std::wstring text(buffer, n);
    while (!text.empty() && iswspace(text.back()))
        text.pop_back();
    return toUtf8(text);
}

TEST(FinalizeError, ComposesHeadCodeSystemTextAndDetail) {
    FinalizeError error(5, 3, "Zielordner gesperrt.");
    EXPECT_EQ(error.windowsError, 5u);
    EXPECT_EQ(error.attempts, 3);
    std::string expected = "Installation nicht abgeschlossen (Windows-Fehler 5).";
    std::string system = systemText(5);
    ASSERT_FALSE(system.empty());
    expected += "\n" + system + " Zielordner gesperrt.";
    EXPECT_EQ(std::string(error.what()), expected);
    EXPECT_NE(std::string(error.what()).back(), '\n');
}

TEST(FinalizeError, CancelledHasNoDoubleBlankAndKeepsPreparedFiles) {
    FinalizeError error(1223, 0, "");
    std::string message = error.what();
    EXPECT_EQ(message.rfind("Installation abgebrochen (Windows-Fehler 1223).", 0), 0u);
    EXPECT_TRUE(message.ends_with(" Die vorbereiteten Dateien bleiben erhalten."));
    EXPECT_EQ(message.find("  "), std::string::npos);
}

TEST(FinalizeError, CodeWithoutSystemTextHasNoSystemLine) {
    FinalizeError error(0x2FFFFFFF, 1, "Detail.");
    EXPECT_EQ(std::string(error.what()),
              "Installation nicht abgeschlossen (Windows-Fehler 805306367). Detail.");
}

TEST(FinalizeError, IsCaughtAsErrorAndAsStdException) {
    EXPECT_THROW(throw FinalizeError(5, 0, ""), Error);
    EXPECT_THROW(throw FinalizeError(5, 0, ""), std::exception);
    EXPECT_EQ(messageOf([] { require(false, "Nachricht."); }), "Nachricht.");
    EXPECT_NO_THROW(require(true, "Nachricht."));
}

} // namespace
} // namespace tess
