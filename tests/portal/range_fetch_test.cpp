#include "portal/range_fetch.hpp"

#include "portal/portal_tests.hpp"

#include <gtest/gtest.h>

namespace tess {
namespace {

namespace portal = test::devportal;
using test::errorText;

class RangeFetch : public ::testing::Test {
  protected:
    void SetUp() override { signIn(); }

    // A reset of the portal also forgets its tokens.
    void signIn() {
        portal::reset();
        client.acceptTokenResponse(portal::issueTokens());
        token = client.accessToken(false);
    }

    PortalRanges ranges() {
        return PortalRanges(
            apiPath, artifact, token,
            [this] {
                ++renewals;
                return client.refreshAfterRejection();
            },
            client.progress);
    }

    // Opens [first, last] and reads it whole: "range" and the bytes, "not a range", or the error.
    std::string fetch(PortalRanges& source, std::uint64_t first, std::uint64_t last, std::string& body) {
        return errorText([&] {
            if (!source.open(first, last))
                throw Error("not a range");
            char buffer[4096];
            while (const std::uint32_t got = source.read(buffer, sizeof buffer))
                body.append(buffer, got);
        });
    }

    test::ScratchClient scratch;
    Client& client = scratch.client;
    const std::string apiPath = std::string(portal::artifactsPath) + portal::stableRelease;
    const Json artifact = portal::artifactOf(portal::stableRelease);
    const std::string bytes = portal::artifactBytes(portal::stableRelease);
    const std::string quotedHash =
        std::string("\"").append(artifact.at("sha256").get<std::string>()).append("\"");
    std::string token;
    int renewals = 0;
};

// Only exactly the range asked for counts (the install's fallbacks show the other answers); what a whole
// download would meet as well is an error with the download's message.
TEST_F(RangeFetch, OnlyTheExactRangeOfTheSignedFileIsAcceptedAndStatusesEndAsInADownload) {
    const std::string notRange = "not a range";
    struct Case {
        const char* name;
        Json fault;
        std::string expected; // "(no error)": the bytes come
        int renewals;
    } cases[] = {
        {"plain", nullptr, "(no error)", 0},
        {"first 401", {{"fault", "status"}, {"status", 401}, {"times", 1}}, "(no error)", 1},
        {"second 401",
         {{"fault", "status"}, {"status", 401}},
         "Download nicht verfügbar. Bitte später fortsetzen.",
         1},
        {"403", {{"fault", "status"}, {"status", 403}}, "Keine Downloadberechtigung für diese Version.", 0},
        {"410", {{"fault", "status"}, {"status", 410}}, "Diese Version wurde zurückgezogen.", 0},
        {"429",
         {{"fault", "status"}, {"status", 429}},
         "Übertragungslimit erreicht. Bitte später fortsetzen.",
         0},
        {"503",
         {{"fault", "status"}, {"status", 503}},
         "Download nicht verfügbar. Bitte später fortsetzen.",
         0},
        {"unquoted ETag", {{"fault", "unquoted-etag"}}, notRange, 0},
        {"cut short",
         {{"fault", "cut"}, {"after", 100}},
         "Download unterbrochen. Er kann später fortgesetzt werden.",
         0},
    };
    const std::uint64_t size = bytes.size();
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        signIn();
        renewals = 0;
        if (!test.fault.is_null()) {
            Json fault = test.fault;
            fault["path"] = apiPath;
            portal::addFault(fault);
        }
        PortalRanges source = ranges();
        std::string body;
        // The archive's end as a suffix, then a part in the middle.
        std::string message = fetch(source, size - 1000, size - 1, body);
        if (message == "(no error)")
            message = fetch(source, 100, 2099, body);
        EXPECT_EQ(message, test.expected);
        EXPECT_EQ(renewals, test.renewals);
        if (test.expected == "(no error)") {
            EXPECT_TRUE(body == bytes.substr(size - 1000) + bytes.substr(100, 2000));
            std::vector<std::string> sent;
            for (const Json& entry : portal::requestLog())
                if (entry.at("path") == apiPath && entry.at("status") == 206) {
                    sent.push_back(entry.at("range").get<std::string>());
                    EXPECT_EQ(entry.at("ifRange"), quotedHash);
                }
            EXPECT_EQ(sent, (std::vector<std::string>{"bytes=-1000", "bytes=100-2099"}));
        }
    }
}

TEST_F(RangeFetch, CancelIsSeenAtTheNextRead) {
    PortalRanges source = ranges();
    ASSERT_TRUE(source.open(0, 9999));
    char buffer[100];
    ASSERT_GT(source.read(buffer, sizeof buffer), 0u);
    client.progress.cancelled = true;
    EXPECT_EQ(errorText([&] { (void)source.read(buffer, sizeof buffer); }),
              "Download pausiert. Er kann später fortgesetzt werden.");
}

// The plan sees one request fewer than are allowed: that one is kept for a token renewal.
TEST_F(RangeFetch, NoMoreThan256RequestsPerInstall) {
    PortalRanges source = ranges();
    EXPECT_EQ(source.requestsLeft(), maxRangeRequests - 1);
    unsigned opened = 0;
    char byte = 0;
    while (source.open(0, 0)) {
        ASSERT_EQ(source.read(&byte, 1), 1u);
        ++opened;
        EXPECT_EQ(source.requestsLeft(), opened >= maxRangeRequests - 1 ? 0 : maxRangeRequests - 1 - opened);
    }
    EXPECT_EQ(opened, maxRangeRequests);
}

} // namespace
} // namespace tess
