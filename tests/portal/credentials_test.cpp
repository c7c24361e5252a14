#include "portal/credentials.hpp"

#include "foundation/text.hpp"
#include "portal/http.hpp"
#include "portal/portal_tests.hpp"

#include <gtest/gtest.h>

#include <ctime>

namespace tess {
namespace {

namespace portal = test::devportal;
using test::errorText;

constexpr const char* signInRequest =
    "Bitte bei CORVALIS anmelden. Bereits installierte Versionen sind weiterhin startbar.";

std::int64_t now() {
    return static_cast<std::int64_t>(std::time(nullptr));
}

std::vector<Json> tokenRequests() {
    std::vector<Json> requests;
    for (const Json& entry : portal::requestLog())
        if (entry.at("path") == "/connect/token")
            requests.push_back(entry);
    return requests;
}

TEST(CredentialProtection, RoundTripsWithoutPlainTextAndRefusesForeignBytes) {
    const std::string plain = R"({"access_token":"at-secret-value","expires_in":3600})";
    const std::string sealed = protectCredentials(plain);
    EXPECT_EQ(sealed.find("at-secret-value"), std::string::npos);
    EXPECT_EQ(unprotectCredentials(sealed), plain);

    // A flipped byte of the encrypted part; Wine (unlike Windows) does not notice changes to the
    // blob's header fields, so the test stays where both refuse.
    std::string tampered = sealed;
    tampered[tampered.size() - 30] ^= 0x5A;
    for (const std::string& bytes : {std::string("not protected at all"), tampered})
        EXPECT_EQ(errorText([&] { (void)unprotectCredentials(bytes); }),
                  "Gespeicherte Anmeldung ist mit diesem Windows-Konto nicht verwendbar.");
}

TEST(StoredCredentials, OnlyAReadableProtectedObjectSignsIn) {
    const Json signedIn = {{"access_token", "at-1"}, {"expiresAt", 99}, {"expires_in", 60}};
    struct Case {
        const char* name;
        std::optional<std::string> file;
        Json expected;
    } cases[] = {
        {"missing", std::nullopt, Json::object()},
        {"protected object", protectCredentials(signedIn.dump()), signedIn},
        {"over 1 MiB", protectCredentials(signedIn.dump()) + std::string(1048576, 'x'), Json::object()},
        {"not protected", signedIn.dump(), Json::object()},
        {"protected non-JSON", protectCredentials("{broken"), Json::object()},
        {"protected array", protectCredentials("[1,2]"), Json::object()},
        {"numeric access token", protectCredentials(R"({"access_token":7,"expiresAt":99})"), Json::object()},
        {"empty refresh token", protectCredentials(R"({"access_token":"a","refresh_token":""})"),
         Json::object()},
    };
    for (const Case& c : cases) {
        test::ScratchFolder folder;
        if (c.file)
            test::writeBytes(folder / L"credentials.dpapi", *c.file);
        EXPECT_EQ(loadStoredCredentials(folder.path()), c.expected) << c.name;
    }
}

class Credentials : public ::testing::Test {
  protected:
    void SetUp() override { portal::reset(); }

    test::ScratchClient scratch;
    Client& client = scratch.client;

    std::string storedFile() { return test::readBytes(credentialsPath(client.dataRoot)); }
};

TEST_F(Credentials, AcceptedAnswerIsStoredProtectedWithItsExpiry) {
    const PortalResponse answer = portal::issueTokens();
    const std::int64_t before = now();
    client.acceptTokenResponse(answer);
    const std::int64_t after = now();

    const Json portalAnswer = Json::parse(answer.body);
    EXPECT_EQ(client.credentials.at("access_token"), portalAnswer.at("access_token"));
    EXPECT_EQ(client.credentials.at("refresh_token"), portalAnswer.at("refresh_token"));
    const auto expiresAt = client.credentials.at("expiresAt").get<std::int64_t>();
    EXPECT_GE(expiresAt, before + 3600);
    EXPECT_LE(expiresAt, after + 3600);

    const std::string file = storedFile();
    EXPECT_EQ(file.find(portalAnswer.at("access_token").get<std::string>()), std::string::npos);
    EXPECT_EQ(file.find("refresh_token"), std::string::npos);
    EXPECT_EQ(parse(unprotectCredentials(file)), client.credentials);
    EXPECT_EQ(loadStoredCredentials(client.dataRoot), client.credentials);
}

TEST_F(Credentials, RefusedAnswersLeaveTheStoredSignInUntouched) {
    client.acceptTokenResponse(portal::issueTokens());
    const Json before = client.credentials;
    const std::string fileBefore = storedFile();
    struct Case {
        std::int32_t status;
        std::string body;
        const char* message;
    } cases[] = {
        {400, R"({"error":"invalid_grant"})",
         "Anmeldung erforderlich oder nicht mehr gültig. Bitte bei CORVALIS anmelden."},
        {200, R"({"access_token":"at-new"})", "Unvollständige Anmeldung."},
        {200, R"({"expires_in":60})", "Unvollständige Anmeldung."},
        {200, R"(["access_token","expires_in"])", "Unvollständige Anmeldung."},
        {200, R"({"access_token":42,"expires_in":60})", "Unvollständige Anmeldung."},
        {200, R"({"access_token":"","expires_in":60})", "Unvollständige Anmeldung."},
        {200, R"({"access_token":"a","expires_in":60,"refresh_token":null})", "Unvollständige Anmeldung."},
        {200, R"({"access_token":"a","expires_in":60,"refresh_token":""})", "Unvollständige Anmeldung."},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(errorText([&] {
                      client.acceptTokenResponse({c.status, c.body, {}});
                  }),
                  c.message)
            << c.body;
        EXPECT_EQ(client.credentials, before);
        EXPECT_EQ(storedFile(), fileBefore);
    }
}

TEST_F(Credentials, RefreshTokenIsKeptUntilANewOneArrives) {
    client.acceptTokenResponse({200, R"({"access_token":"a1","expires_in":60,"refresh_token":"r1"})", {}});
    client.acceptTokenResponse({200, R"({"access_token":"a2","expires_in":60.9,"scope":"x"})", {}});
    EXPECT_EQ(client.credentials.at("refresh_token"), "r1");
    EXPECT_EQ(client.credentials.at("scope"), "x");
    EXPECT_LE(client.credentials.at("expiresAt").get<std::int64_t>(), now() + 60);
    client.acceptTokenResponse({200, R"({"access_token":"a3","expires_in":60,"refresh_token":"r3"})", {}});
    EXPECT_EQ(client.credentials.at("refresh_token"), "r3");
    EXPECT_EQ(loadStoredCredentials(client.dataRoot).at("refresh_token"), "r3");
}

TEST_F(Credentials, RenewsAtThirtySecondsBeforeExpiryButNotAtThirtyOne) {
    for (const std::int64_t margin : {31, 30}) {
        // The clock must not tick between setting expiresAt and the check, or the case shifts by one.
        bool checked = false;
        for (int attempt = 0; attempt < 5 && !checked; ++attempt) {
            const Json issued = Json::parse(portal::issueTokens().body);
            portal::admin("log/clear", "{}");
            client.credentials = issued;
            const std::int64_t start = now();
            client.credentials["expiresAt"] = start + margin;
            const std::string token = client.accessToken(false);
            if (now() != start)
                continue;
            checked = true;
            if (margin == 31) {
                EXPECT_EQ(token, issued.at("access_token"));
                EXPECT_TRUE(tokenRequests().empty());
            } else {
                EXPECT_NE(token, issued.at("access_token"));
                EXPECT_EQ(token, client.credentials.at("access_token"));
                const auto requests = tokenRequests();
                ASSERT_EQ(requests.size(), 1u);
                EXPECT_EQ(requests[0].at("body"),
                          "grant_type=refresh_token&client_id=tessaro-installer&refresh_token=" +
                              issued.at("refresh_token").get<std::string>());
                EXPECT_EQ(requests[0].at("status"), 200);
                EXPECT_EQ(loadStoredCredentials(client.dataRoot), client.credentials);
            }
        }
        EXPECT_TRUE(checked) << margin;
    }
}

TEST_F(Credentials, WithoutUsableSignInNonInteractiveRequestsAskToSignIn) {
    client.acceptTokenResponse(
        {200, R"({"access_token":"a1","expires_in":0,"refresh_token":"rt-unknown"})", {}});
    const Json expiredWithRefresh = client.credentials;
    const std::string fileBefore = storedFile();
    struct Case {
        const char* name;
        Json credentials;
        size_t tokenRequests;
    } cases[] = {
        {"signed out", Json::object(), 0},
        {"expired without refresh token", {{"access_token", "a"}, {"expiresAt", 1}}, 0},
        {"refresh refused with 400", expiredWithRefresh, 1},
    };
    for (const Case& c : cases) {
        portal::admin("log/clear", "{}");
        client.credentials = c.credentials;
        EXPECT_EQ(errorText([&] { (void)client.accessToken(false); }), signInRequest) << c.name;
        EXPECT_EQ(client.credentials, c.credentials) << c.name;
        const auto requests = tokenRequests();
        ASSERT_EQ(requests.size(), c.tokenRequests) << c.name;
        if (!requests.empty()) {
            EXPECT_EQ(requests[0].at("status"), 400);
        }
    }
    EXPECT_EQ(storedFile(), fileBefore);
}

TEST_F(Credentials, RejectionRenewsEvenATokenThatLooksValid) {
    client.acceptTokenResponse(portal::issueTokens());
    const std::string first = client.accessToken(false);
    const std::string renewed = client.refreshAfterRejection();
    EXPECT_NE(renewed, first);
    EXPECT_GT(client.credentials.at("expiresAt").get<std::int64_t>(), now() + 3000);
    EXPECT_EQ(tokenRequests().size(), 1u);
}

} // namespace
} // namespace tess
