#include "launcher/launcher_verify.hpp"
#include "launcher_fixture.hpp"

#include <gtest/gtest.h>

namespace tess {
namespace {

using namespace test;

std::string errorOf(const fs::path& file, const std::string& envelope) {
    try {
        verifyLauncherFile(file, envelope, builtinKeySet(), true);
        return "";
    } catch (const std::exception& failure) {
        return failure.what();
    }
}

TEST(VerifyLauncherFile, AcceptsOnlyTheExactFileOfASignedRelease) {
    ScratchFolder folder;
    const std::string original = variantBytes("tessaro-1.0.2");
    writeBytes(folder / L"longer.exe", original + "x");
    std::string changed = original;
    changed[changed.size() / 2] ^= 1;
    writeBytes(folder / L"changed.exe", changed);
    fs::create_directories(folder / L"folder.exe");
    std::string forged = variantEnvelope("tessaro-1.0.2");
    // Another Base64 letter, never a character outside the alphabet: the signature must stay decodable.
    char& letter = forged[forged.find("\"signature\":\"") + 20];
    letter = letter == 'A' ? 'B' : 'A';

    const std::string mismatch = "Launcher stimmt nicht mit der signierten Freigabe überein.";
    struct Case {
        const char* name;
        fs::path file;
        std::string envelope;
        std::string message;
    } cases[] = {
        {"the released file", variantExe("tessaro-1.0.2"), variantEnvelope("tessaro-1.0.2"), ""},
        {"one byte longer", folder / L"longer.exe", variantEnvelope("tessaro-1.0.2"), mismatch},
        {"one byte changed", folder / L"changed.exe", variantEnvelope("tessaro-1.0.2"), mismatch},
        {"missing", folder / L"missing.exe", variantEnvelope("tessaro-1.0.2"), mismatch},
        {"a folder", folder / L"folder.exe", variantEnvelope("tessaro-1.0.2"), mismatch},
        {"another release", variantExe("tessaro-1.0.2"), variantEnvelope("tessaro-1.0.3"), mismatch},
        {"forged signature", variantExe("tessaro-1.0.2"), forged,
         "Digitale Signatur stimmt nicht. Download verworfen."},
        {"signature required, file unsigned", variantExe("tessaro-1.0.2"),
         variantEnvelope("tessaro-1.0.2-signed-only"), "Launcher-Herausgebersignatur ungültig."},
    };
    for (const Case& c : cases)
        EXPECT_EQ(errorOf(c.file, c.envelope), c.message) << c.name;
}

TEST(VerifyLauncherFile, ReturnsTheVerifiedRelease) {
    Json release = verifyLauncherFile(variantExe("tessaro-1.0.3"), variantEnvelope("tessaro-1.0.3"),
                                      builtinKeySet(), false);
    EXPECT_EQ(release["version"], "1.0.3");
    EXPECT_EQ(release["artifact"]["sha256"], variantSha("tessaro-1.0.3"));
}

} // namespace
} // namespace tess
