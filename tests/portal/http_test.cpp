#include "portal/http.hpp"

#include "portal/portal_tests.hpp"

#include <gtest/gtest.h>

namespace tess {
namespace {

namespace portal = test::devportal;
using test::errorText;

class PortalTransport : public ::testing::Test {
  protected:
    void SetUp() override { portal::reset(); }

    std::string token() { return Json::parse(portal::issueTokens().body).at("access_token"); }
};

TEST_F(PortalTransport, RefusesMalformedPathsAndTokensBeforeAnyRequest) {
    struct Case {
        std::string path;
        std::string token;
        const char* message;
    } cases[] = {
        {"", "", "Ungültiger API-Pfad."},
        {"software/bootstrap/manifest", "", "Ungültiger API-Pfad."},
        {"//software/bootstrap/manifest", "", "Ungültiger API-Pfad."},
        {"/software/bootstrap\n/manifest", "", "Ungültiger API-Pfad."},
        {"/software/bootstrap/manifest\r", "", "Ungültiger API-Pfad."},
        {"/software/bootstrap/manifest", "abc\ndef", "Token ungültig."},
    };
    for (const Case& c : cases)
        EXPECT_EQ(errorText([&] { (void)fetchPortal(c.path, c.token, {}); }), c.message) << c.path;
    EXPECT_TRUE(portal::requestLog().empty());

    EXPECT_EQ(fetchPortal("/software/bootstrap/manifest?probe=1", {}, {}).status, 404);
    const auto log = portal::requestLog(1);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].at("query"), "probe=1");
}

TEST_F(PortalTransport, GetCarriesNoBodyTypeAndPostTheFormType) {
    (void)fetchPortal("/software/bootstrap/manifest", {}, {});
    (void)fetchPortal("/connect/token", "the-token", "grant_type=x&client_id=tessaro-installer");
    const auto log = portal::requestLog(2);
    ASSERT_EQ(log.size(), 2u);

    EXPECT_EQ(log[0].at("method"), "GET");
    EXPECT_TRUE(log[0].at("contentType").is_null());
    EXPECT_TRUE(log[0].at("authorization").is_null());
    EXPECT_TRUE(log[0].at("body").is_null());
    EXPECT_EQ(log[1].at("method"), "POST");
    EXPECT_EQ(log[1].at("contentType"), "application/x-www-form-urlencoded");
    EXPECT_EQ(log[1].at("authorization"), "Bearer the-token");
    EXPECT_EQ(log[1].at("body"), "grant_type=x&client_id=tessaro-installer");
    for (const Json& entry : log) {
        EXPECT_EQ(entry.at("acceptEncoding"), "identity");
        EXPECT_EQ(entry.at("userAgent"), "TESSARO-Installer/1.0.2");
    }
}

TEST_F(PortalTransport, ReturnsARedirectWithoutFollowingIt) {
    // The sign-in page redirects to the loopback callback, where nothing listens now.
    const PortalResponse response = fetchPortal(
        "/connect/authorize?client_id=tessaro-installer&response_type=code&scope=openid&redirect_uri="
        "http%3A%2F%2F127.0.0.1%3A43872%2Fcallback&state=s&code_challenge_method=S256&code_challenge="
        "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM",
        {}, {});
    EXPECT_EQ(response.status, 302);
    EXPECT_TRUE(response.body.empty());
    EXPECT_EQ(portal::requestLog(1).size(), 1u);
}

TEST_F(PortalTransport, AcceptsExactly20MiBAndRefusesOneByteMore) {
    const std::string bearer = token();
    const std::string path = std::string(portal::catalogPath) + "stable";
    portal::addFault({{"fault", "catalog"}, {"variant", "exact20m"}, {"times", 1}});
    const PortalResponse exact = fetchPortal(path, bearer, {});
    EXPECT_EQ(exact.status, 200);
    EXPECT_EQ(exact.body.size(), 20971520u);

    portal::addFault({{"fault", "catalog"}, {"variant", "over20m"}, {"times", 1}});
    EXPECT_EQ(errorText([&] { (void)fetchPortal(path, bearer, {}); }), "Serverantwort zu groß.");
}

TEST_F(PortalTransport, EtagIsEmptyWhenTheAnswerHasNone) {
    const std::string bearer = token();
    EXPECT_EQ(fetchPortal(std::string(portal::catalogPath) + "stable", bearer, {}).etag, "");
    const Json artifact = portal::artifactOf(portal::stableRelease);
    const PortalResponse download =
        fetchPortal(std::string(portal::artifactsPath) + portal::stableRelease, bearer, {});
    EXPECT_EQ(download.etag, std::string("\"").append(artifact.at("sha256").get<std::string>()).append("\""));
    EXPECT_EQ(download.body.size(), artifact.at("size").get<size_t>());
}

} // namespace
} // namespace tess
