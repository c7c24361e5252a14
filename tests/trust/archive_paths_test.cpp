#include "foundation/text.hpp"
#include "install/archive_paths.hpp"

#include <gtest/gtest.h>

namespace tess {
namespace {

// The path as the check returns it, or the message it throws.
std::string outcome(std::string_view path) {
    try {
        return "ok:" + toUtf8(checkArchivePath(path));
    } catch (const std::exception& e) {
        return e.what();
    }
}

struct Case {
    std::string path;
    std::string expected; // "ok" for a path that must come back unchanged
};

void runCases(const std::vector<Case>& cases) {
    for (const auto& c : cases)
        EXPECT_EQ(outcome(c.path), c.expected == "ok" ? "ok:" + c.path : c.expected) << c.path;
}

TEST(CheckArchivePath, BoundsTheLengthAndRefusesForbiddenCharactersFirst) {
    const std::string bad = "Unzulässiger Archivpfad.";
    const std::string absolute = "Absoluter oder leerer Archivpfad.";
    std::string umlauts;
    for (int i = 0; i < 120; ++i)
        umlauts += "\xC3\xA4";
    runCases({
        {"a/b.txt", "ok"},
        {std::string(240, 'x'), "ok"},
        {std::string(241, 'x'), bad},
        {std::string(100, 'x') + "/" + std::string(139, 'y'), "ok"},
        {umlauts, "ok"}, // 240 bytes, 120 characters
        {umlauts + "a", bad},
        {"", bad},
        {"a\\b", bad},
        {"C:/windows", bad},
        {"/a?b", bad},
        {"a*", bad},
        {"a<b", bad},
        {"a>b", bad},
        {"a|b", bad},
        {"a\"b", bad},
        {std::string("a\0b", 3), bad},
        {"a\xFF", "Ungültige UTF-8-Daten."},
        {"/a", absolute},
        {"a/", absolute},
        {"/", absolute},
    });
}

TEST(CheckArchivePath, ChecksEverySegment) {
    const std::string bad = "Unzulässiger Archivpfad.";
    const std::string control = "Steuerzeichen im Archivpfad.";
    runCases({
        {"a//b", bad},
        {"./a", bad},
        {"a/../b", bad},
        {"a/..", bad},
        {"a./b", bad},
        {"a/b ", bad},
        {"a.b.", bad},
        {" a/ b", "ok"},
        {".hidden", "ok"},
        {"a/.config/x", "ok"},
        {"a\tb", control},
        {"a/b\x7F", control},
        {"\x1F", control},
        {"a\nb", control},
        {"x\t.", bad}, // the trailing dot is found first
        {"daten/\xC3\x9C"
         "bersicht.txt",
         "ok"},
    });
}

TEST(CheckArchivePath, RefusesReservedDeviceNamesWithAnyDigit) {
    const std::string reserved = "Reservierter Windows-Dateiname.";
    runCases({
        {"con", reserved},
        {"Con.txt", reserved},
        {"aux.tar.gz", reserved},
        {"clock$", reserved},
        {"conout$.log", reserved},
        {"CONIN$", reserved},
        {"prn", reserved},
        {"a/nul.x/b", reserved},
        {"nul .txt", reserved},
        {"CON  .log", reserved},
        {"COM1", reserved},
        {"lpt9.dat", reserved},
        {"COM0", reserved},
        {"COM\xC2\xB9", reserved},     // superscript one
        {"lpt\xC2\xB2.txt", reserved}, // superscript two
        {"Com\xC2\xB3", reserved},     // superscript three
        {"console", "ok"},
        {"COM10", "ok"},
        {"LPT", "ok"},
        {"COMx", "ok"},
        {"COM\xC2\xBC", "ok"}, // one quarter: a number, not a digit
        {"COM\xC2\xB5", "ok"}, // micro sign
        {"COM\xC5\x81", "ok"}, // L with stroke
        {"xcon", "ok"},
        {"con_", "ok"},
    });
}

TEST(CheckArchivePath, TreatsDigitsAboveLatin1AsPortNumbers) {
    const std::string reserved = "Reservierter Windows-Dateiname.";
    runCases({
        {"COM\xEF\xBC\x91", reserved},     // fullwidth one
        {"LPT\xD9\xA3", reserved},         // Arabic-Indic three
        {"com\xE0\xA5\xA7.txt", reserved}, // Devanagari one
    });
}

TEST(ArchivePathKey, FoldsCaseAsOneWindowsFolderDoes) {
    struct KeyCase {
        std::wstring path;
        std::wstring key;
    } cases[] = {
        {L"APPtessaro.EXE", L"apptessaro.exe"},
        {L"Daten/\u00C4rger.BIN", L"daten/\u00E4rger.bin"},
        {L"\u03A3\u039F\u03A6\u0399\u0391", L"\u03C3\u03BF\u03C6\u03B9\u03B1"},
        {L"", L""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(archivePathKey(c.path), c.key) << toUtf8(c.path);
}

} // namespace
} // namespace tess
