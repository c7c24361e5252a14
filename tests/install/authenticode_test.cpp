#include "install/authenticode.hpp"
#include "package_fixtures.hpp"

#include "build_config.hpp"

#include <gtest/gtest.h>

namespace tess {
namespace {
namespace fs = std::filesystem;

fs::path signedFolder() {
    return test::installFixtures() / L"signed";
}

TEST(VerifyPublisherSignature, OnlyTheExpectedPublisherPasses) {
    if (!fs::exists(signedFolder() / L"named.exe"))
        GTEST_SKIP() << "openssl or osslsigncode was missing when the fixtures were made";
    ASSERT_EQ(build::expectedPublisher, "") << "the cases below assume the build's empty publisher";
    struct Case {
        const wchar_t* file;
        bool expected;
    } cases[] = {
        {L"unsigned.exe", false},
        {L"missing.exe", false},
        // Signed, but by a publisher with a name while the build expects none.
        {L"named.exe", false},
    };
    for (const Case& c : cases)
        for (bool offline : {false, true})
            EXPECT_EQ(verifyPublisherSignature(signedFolder() / c.file, offline), c.expected)
                << toUtf8(c.file) << (offline ? " offline" : " online");
}

TEST(VerifyPublisherSignature, SignerWithoutNameMatchesTheEmptyExpectedPublisher) {
    if (!fs::exists(signedFolder() / L"unnamed.exe"))
        GTEST_SKIP() << "openssl or osslsigncode was missing when the fixtures were made";
    if (!test::runningUnderWine())
        GTEST_SKIP() << "the test CA is trusted by no store; only Wine accepts its untrusted root";
    EXPECT_TRUE(verifyPublisherSignature(signedFolder() / L"unnamed.exe", true));
}

TEST(VerifyPublisherSignature, SignatureFromAnUntrustedRootIsRefused) {
    if (test::runningUnderWine())
        GTEST_SKIP() << "Wine: WinVerifyTrust accepts a signature whose root no store trusts";
    EXPECT_FALSE(verifyPublisherSignature(signedFolder() / L"unnamed.exe", true));
}

} // namespace
} // namespace tess
