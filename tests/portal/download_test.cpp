#include "portal/download.hpp"

#include "foundation/crypto.hpp"
#include "foundation/text.hpp"
#include "portal/portal_tests.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>

namespace tess {
namespace {

namespace portal = test::devportal;
using test::errorText;

constexpr const char* changedIdentity = "Paketkennung wurde geändert. Kein Fortsetzen erlaubt.";

class DownloadArtifact : public ::testing::Test {
  protected:
    void SetUp() override {
        portal::reset();
        std::filesystem::create_directories(partial.parent_path());
        client.acceptTokenResponse(portal::issueTokens());
        token = client.accessToken(false);
    }

    std::string download(const std::filesystem::path& partial, const BodyReader& read = readWinHttpBody) {
        return errorText(
            [&] { downloadArtifact(apiPath, partial, artifact, token, renew, client.progress, read); });
    }
    std::vector<Json> artifactRequests() {
        std::vector<Json> requests;
        for (const Json& entry : portal::requestLog())
            if (entry.at("path") == apiPath)
                requests.push_back(entry);
        return requests;
    }
    std::optional<std::string> contentOf(const std::filesystem::path& path) {
        return std::filesystem::exists(path) ? std::optional(test::readBytes(path)) : std::nullopt;
    }

    test::ScratchClient scratch;
    Client& client = scratch.client;
    const std::string apiPath = std::string(portal::artifactsPath) + portal::stableRelease;
    const Json artifact = portal::artifactOf(portal::stableRelease);
    const std::string bytes = portal::artifactBytes(portal::stableRelease);
    const std::string quotedHash =
        std::string("\"").append(artifact.at("sha256").get<std::string>()).append("\"");
    const std::filesystem::path partial =
        scratch.folder / L"downloads" / toWide(artifact.at("sha256").get<std::string>() + ".zip.partial");
    std::string token;
    int renewals = 0;
    std::function<std::string()> renew = [this] {
        ++renewals;
        return client.refreshAfterRejection();
    };
};

TEST_F(DownloadArtifact, EveryAnswerHeaderIsCheckedAgainstTheSignedFile) {
    struct Case {
        const char* name;
        std::optional<size_t> present; // bytes of the right file already there
        Json fault;
        const char* message; // nullptr: the download succeeds
        const char* range;   // the Range header sent, nullptr: none
        int status;
    } cases[] = {
        {"fresh", std::nullopt, nullptr, nullptr, nullptr, 200},
        {"empty partial file", 0, nullptr, nullptr, nullptr, 200},
        {"resume", 10, nullptr, nullptr, "bytes=10-", 206},
        {"whole file although resumed", 10, {{"fault", "ignore-range"}}, nullptr, "bytes=10-", 200},
        {"part although fresh",
         std::nullopt,
         {{"fault", "partial-without-range"}},
         "Unerwartete Teilantwort.",
         nullptr,
         206},
        {"unquoted ETag", std::nullopt, {{"fault", "unquoted-etag"}}, changedIdentity, nullptr, 200},
        {"no ETag", std::nullopt, {{"fault", "no-etag"}}, changedIdentity, nullptr, 200},
        {"other file on resume", 10, {{"fault", "wrong-etag"}}, changedIdentity, "bytes=10-", 206},
        {"range off by one",
         10,
         {{"fault", "wrong-content-range"}},
         "Falscher Downloadabschnitt.",
         "bytes=10-",
         206},
        {"length one too many",
         std::nullopt,
         {{"fault", "extra-byte"}, {"declare", true}},
         "Downloadlänge stimmt nicht mit dem signierten Abschnitt überein.",
         nullptr,
         200},
        {"403",
         10,
         {{"fault", "status"}, {"status", 403}},
         "Keine Downloadberechtigung für diese Version.",
         "bytes=10-",
         403},
        {"410",
         std::nullopt,
         {{"fault", "status"}, {"status", 410}},
         "Diese Version wurde zurückgezogen.",
         nullptr,
         410},
        {"429",
         std::nullopt,
         {{"fault", "status"}, {"status", 429}},
         "Übertragungslimit erreicht. Bitte später fortsetzen.",
         nullptr,
         429},
        {"503",
         std::nullopt,
         {{"fault", "status"}, {"status", 503}},
         "Download nicht verfügbar. Bitte später fortsetzen.",
         nullptr,
         503},
    };
    for (const Case& c : cases) {
        std::error_code ignored;
        std::filesystem::remove(partial, ignored);
        if (c.present)
            test::writeBytes(partial, bytes.substr(0, *c.present));
        const auto before = contentOf(partial);
        portal::admin("log/clear", "{}");
        if (!c.fault.is_null()) {
            Json rule = c.fault;
            rule["path"] = apiPath;
            rule["times"] = 1;
            portal::addFault(rule);
        }

        EXPECT_EQ(download(partial), c.message ? c.message : "(no error)") << c.name;
        EXPECT_EQ(contentOf(partial), c.message ? before : bytes) << c.name;
        const auto requests = artifactRequests();
        ASSERT_EQ(requests.size(), 1u) << c.name;
        EXPECT_EQ(requests[0].at("range"), c.range ? Json(c.range) : Json()) << c.name;
        EXPECT_EQ(requests[0].at("ifRange"), c.range ? Json(quotedHash) : Json()) << c.name;
        EXPECT_EQ(requests[0].at("status"), c.status) << c.name;
        EXPECT_EQ(requests[0].at("authorization"), "Bearer " + token) << c.name;
    }
}

TEST_F(DownloadArtifact, BrokenCacheOfFullLengthOrLongerIsFetchedAgain) {
    for (const std::string& cached : {std::string(bytes.size(), 'x'), bytes + "x"}) {
        test::writeBytes(partial, cached);
        portal::admin("log/clear", "{}");
        EXPECT_EQ(download(partial), "(no error)");
        EXPECT_EQ(test::readBytes(partial), bytes);
        const auto requests = artifactRequests();
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_TRUE(requests[0].at("range").is_null());
    }
}

TEST_F(DownloadArtifact, CompleteFileReturnsWithoutAskingThePortal) {
    test::writeBytes(partial, bytes);
    // An empty path and no renew function: any attempt to reach the portal would fail loudly.
    EXPECT_EQ(errorText([&] { downloadArtifact("", partial, artifact, token, {}, client.progress); }),
              "(no error)");
    EXPECT_EQ(test::readBytes(partial), bytes);
    EXPECT_TRUE(portal::requestLog().empty());
}

TEST_F(DownloadArtifact, ByteBeyondTheSignedSizeIsRefusedBeforeItIsWritten) {
    // WinHTTP never hands out more than Content-Length, so the extra byte comes from the reader.
    for (const bool inLastPiece : {true, false}) {
        std::error_code ignored;
        std::filesystem::remove(partial, ignored);
        std::uint64_t total = 0;
        std::uint32_t lastPiece = 0;
        bool added = false;
        const BodyReader dishonest = [&](const PortalRequest& request, char* buffer, std::uint32_t capacity,
                                         std::uint32_t& read) {
            const bool ok = readWinHttpBody(request, buffer, capacity, read);
            total += read;
            if (read > 0)
                lastPiece = read;
            const bool atEnd =
                inLastPiece ? (read > 0 && read < capacity && total == bytes.size()) : read == 0;
            if (ok && atEnd && !added) {
                buffer[read++] = 'X';
                added = true;
            }
            return ok;
        };
        EXPECT_EQ(download(partial, dishonest), "Download größer als signierte Paketgröße.") << inLastPiece;
        EXPECT_EQ(test::readBytes(partial), bytes.substr(0, bytes.size() - (inLastPiece ? lastPiece : 0)));
    }
}

TEST_F(DownloadArtifact, RejectedTokenIsRenewedOnceThenTheDownloadGivesUp) {
    const auto unauthorized = [&](int times) {
        return Json{{"fault", "status"}, {"status", 401}, {"path", apiPath}, {"times", times}};
    };
    portal::addFault(unauthorized(1));
    const std::string firstToken = token;
    EXPECT_EQ(download(partial), "(no error)");
    EXPECT_EQ(renewals, 1);
    EXPECT_NE(token, firstToken);
    EXPECT_EQ(token, client.credentials.at("access_token"));
    auto requests = artifactRequests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].at("authorization"), "Bearer " + firstToken);
    EXPECT_EQ(requests[1].at("authorization"), "Bearer " + token);

    std::filesystem::remove(partial);
    portal::admin("log/clear", "{}");
    portal::addFault(unauthorized(2));
    EXPECT_EQ(download(partial), "Download nicht verfügbar. Bitte später fortsetzen.");
    EXPECT_EQ(renewals, 2);
    EXPECT_EQ(artifactRequests().size(), 2u);
    EXPECT_FALSE(std::filesystem::exists(partial));
}

TEST_F(DownloadArtifact, CutTransferResumesOnTheNextCallWithTheRightHash) {
    portal::addFault({{"fault", "cut"}, {"after", 1500000}, {"path", apiPath}, {"times", 1}});
    // Wine reports the cut as a normal end of the answer; Windows as a failed read.
    const std::string first = download(partial);
    EXPECT_TRUE(first == "Download unvollständig oder beschädigt. Bitte erneut versuchen." ||
                first == "Download unterbrochen. Er kann später fortgesetzt werden.")
        << first;
    const std::uint64_t kept = std::filesystem::file_size(partial);
    EXPECT_GT(kept, 0u);
    EXPECT_LE(kept, 1500000u);
    EXPECT_EQ(test::readBytes(partial), bytes.substr(0, kept));

    EXPECT_EQ(download(partial), "(no error)");
    EXPECT_EQ(sha256FileHex(partial, nullptr, {}), artifact.at("sha256"));
    const auto requests = artifactRequests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].at("range"), "bytes=" + std::to_string(kept) + "-");
    EXPECT_EQ(requests[1].at("status"), 206);
    EXPECT_EQ(requests[1].at("bytesSent"), bytes.size() - kept);
}

TEST_F(DownloadArtifact, CancelPausesAtTheNextReadAndTheNextCallFinishes) {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> reports;
    client.progress.report = [&](const std::string& text, std::uint64_t done, std::uint64_t total) {
        EXPECT_EQ(text, "Software wird heruntergeladen …");
        reports.emplace_back(done, total);
        client.progress.cancelled = true;
    };
    EXPECT_EQ(download(partial), "Download pausiert. Er kann später fortgesetzt werden.");
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(std::filesystem::file_size(partial), reports[0].first);
    EXPECT_EQ(reports[0].second, bytes.size());

    client.progress.cancelled = false;
    client.progress.report = [&](const std::string&, std::uint64_t done, std::uint64_t total) {
        reports.emplace_back(done, total);
    };
    EXPECT_EQ(download(partial), "(no error)");
    EXPECT_EQ(reports.back(), std::make_pair(std::uint64_t{bytes.size()}, std::uint64_t{bytes.size()}));
    for (size_t i = 1; i < reports.size(); ++i)
        EXPECT_LE(reports[i].first - reports[i - 1].first, downloadBufferBytes);
    EXPECT_EQ(test::readBytes(partial), bytes);
}

// On a slow line the bar moves several times a second and a pause comes with the next read, not once a
// whole buffer has arrived; what was read before the pause is stored.
TEST_F(DownloadArtifact, ASlowLineReportsEverySecondAndPausesAtTheNextRead) {
    portal::addFault({{"fault", "throttle"}, {"bytesPerSecond", 32768}, {"path", apiPath}});
    using Clock = std::chrono::steady_clock;
    const Clock::time_point began = Clock::now();
    std::vector<Clock::time_point> times{began};
    std::uint64_t lastDone = 0;
    Clock::time_point cancelledAt;
    client.progress.report = [&](const std::string&, std::uint64_t done, std::uint64_t) {
        times.push_back(Clock::now());
        lastDone = done;
        if (!client.progress.cancelled && times.back() - began > std::chrono::seconds(3)) {
            cancelledAt = times.back();
            client.progress.cancelled = true;
        }
    };
    ASSERT_GT(bytes.size(), 4u * 32768) << "the artifact must take longer than the wait before the pause";
    EXPECT_EQ(download(partial), "Download pausiert. Er kann später fortgesetzt werden.");
    EXPECT_LT(Clock::now() - cancelledAt, std::chrono::seconds(1));
    for (size_t i = 1; i < times.size(); ++i)
        EXPECT_LT(times[i] - times[i - 1], std::chrono::seconds(1))
            << "between reports " << i - 1 << " and " << i;
    EXPECT_EQ(std::filesystem::file_size(partial), lastDone);
    EXPECT_EQ(test::readBytes(partial), bytes.substr(0, lastDone));
}

} // namespace
} // namespace tess
