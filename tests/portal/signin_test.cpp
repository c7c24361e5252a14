#include "portal/signin.hpp"

#include "build_config.hpp"
#include "foundation/crypto.hpp"
#include "foundation/handles.hpp"
#include "foundation/text.hpp"
#include "portal/credentials.hpp"
#include "portal/portal_tests.hpp"
#include "support/waits.hpp"

#include <gtest/gtest.h>

#include <ws2tcpip.h>

#include <chrono>
#include <future>
#include <optional>

namespace tess {
namespace {

namespace portal = test::devportal;
using test::errorText;
using namespace std::chrono_literals;

constexpr std::string_view browserAnswer =
    "HTTP/1.1 200 OK\r\nContent-Type: text/plain; charset=utf-8\r\nCache-Control: no-store\r\nConnection: "
    "close\r\n\r\nAnmeldung verarbeitet. Du kannst dieses Fenster schliessen und zu TESSARO zurueckkehren.";

TEST(PercentEncode, KeepsOnlyUnreservedBytes) {
    EXPECT_EQ(percentEncode("aZ09-._~"), "aZ09-._~");
    EXPECT_EQ(percentEncode(" "), "%20");
    EXPECT_EQ(percentEncode("\xC3\xA4"), "%C3%A4");
    EXPECT_EQ(percentEncode("a+b/c=d&e?"), "a%2Bb%2Fc%3Dd%26e%3F");
    EXPECT_EQ(percentEncode(std::string_view("\0\xFF", 2)), "%00%FF");
}

TEST(FormDecode, DecodesEscapesAndPlusAndRefusesBrokenEscapes) {
    EXPECT_EQ(formDecode("%41"), "A");
    EXPECT_EQ(formDecode("a+b"), "a b");
    EXPECT_EQ(formDecode("%c3%A4~"), "\xC3\xA4~");
    EXPECT_EQ(formDecode("%2B%25"), "+%");
    for (const char* broken : {"%", "%4", "ab%4", "%4g", "%g4", "%%41"})
        EXPECT_EQ(errorText([&] { (void)formDecode(broken); }), "Ungültige Browserantwort.") << broken;
}

// The prefix's headless browser, told through its configuration file to log the address it was
// given into a file of this test and to open nothing. (Variables set at run time do not reach it:
// winebrowser runs it with the environment Wine started with.) Sign-in tests never overlap, so the
// shared file can be changed for the length of one.
class BrowserStub {
  public:
    BrowserStub() : logUnix_(portal::stateDirUnix() + "/browser-" + randomId() + ".log") {
        wchar_t prefix[MAX_PATH];
        const DWORD length = ::GetEnvironmentVariableW(L"WINEPREFIX", prefix, MAX_PATH);
        config_ = test::hostPath(toUtf8(std::wstring_view(prefix, length < MAX_PATH ? length : 0))) /
                  L"headless-browser.conf";
        original_ = test::readBytes(config_);
        test::writeBytes(config_, original_ + "\nMODE=ignore\nLOG=" + logUnix_ + "\n");
    }
    ~BrowserStub() {
        test::writeBytes(config_, original_);
        std::error_code ignored;
        std::filesystem::remove(log(), ignored);
    }
    std::filesystem::path log() const { return test::hostPath(logUnix_); }

    // The address the sign-in opened; empty when none was opened within the time.
    std::string awaitOpenedAddress(std::chrono::milliseconds timeout = 30s) const {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            if (std::filesystem::exists(log())) {
                const std::string text = test::readBytes(log());
                const size_t open = text.find(" open ");
                if (open != std::string::npos)
                    return text.substr(open + 6, text.find('\n', open) - open - 6);
            }
            std::this_thread::sleep_for(50ms);
        }
        return {};
    }

  private:
    std::string logUnix_;
    std::filesystem::path config_;
    std::string original_;
};

std::string queryValue(const std::string& address, const std::string& name) {
    for (const char* separator : {"?", "&"}) {
        const size_t at = address.find(separator + name + "=");
        if (at != std::string::npos) {
            const size_t value = at + name.size() + 2;
            return address.substr(value, address.find('&', value) - value);
        }
    }
    return {};
}

// A TCP socket (Winsock started) and the address of the sign-in listener's port.
Socket tcpSocket() {
    WSADATA winsock;
    ::WSAStartup(MAKEWORD(2, 2), &winsock);
    return Socket(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
}

const sockaddr* listenerAddress() {
    static const sockaddr_in address = [] {
        sockaddr_in loopback{};
        loopback.sin_family = AF_INET;
        loopback.sin_port = ::htons(signInPort);
        loopback.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
        return loopback;
    }();
    return reinterpret_cast<const sockaddr*>(&address);
}

// A local client that sends its request one byte every half second and never finishes it, or (silent)
// sends nothing at all.
class Trickler {
  public:
    explicit Trickler(bool silent = false)
        : silent_(silent), run_(std::async(std::launch::async, [this] { return trickle(); })) {}
    ~Trickler() {
        stop_ = true;
        if (run_.valid())
            run_.wait();
    }
    // How long the listener kept the connection open; nothing while it still does.
    std::optional<std::chrono::milliseconds> heldFor(std::chrono::seconds timeout) {
        if (run_.wait_for(timeout) != std::future_status::ready)
            return std::nullopt;
        return run_.get();
    }

  private:
    std::chrono::milliseconds trickle() {
        const auto start = std::chrono::steady_clock::now();
        const Socket connection = tcpSocket();
        ::connect(connection.get(), listenerAddress(), sizeof(sockaddr_in));
        const std::string request = "GET /callback?state=stray HTTP/1.1\r\n";
        for (size_t sent = 0; !stop_; ++sent) {
            if (!silent_ && ::send(connection.get(), &request[sent % request.size()], 1, 0) != 1)
                break;
            fd_set readable;
            FD_ZERO(&readable);
            FD_SET(connection.get(), &readable);
            timeval halfSecond{0, 500000};
            char byte;
            if (::select(0, &readable, nullptr, nullptr, &halfSecond) > 0 &&
                ::recv(connection.get(), &byte, 1, 0) <= 0)
                break; // closed by the listener
        }
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                     start);
    }

    const bool silent_;
    std::atomic<bool> stop_{false};
    std::future<std::chrono::milliseconds> run_;
};

// One browser request to the sign-in listener; returns what came back before the connection closed.
std::string callBack(const std::string& requestLine) {
    const Socket connection = tcpSocket();
    if (::connect(connection.get(), listenerAddress(), sizeof(sockaddr_in)) != 0)
        return "(not listening)";
    const DWORD timeout = 15000;
    ::setsockopt(connection.get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
                 sizeof timeout);
    const std::string request = requestLine + "\r\nHost: 127.0.0.1:43872\r\nUser-Agent: test\r\n\r\n";
    ::send(connection.get(), request.data(), static_cast<int>(request.size()), 0);
    std::string answer;
    char piece[4096];
    for (int received; (received = ::recv(connection.get(), piece, sizeof piece, 0)) > 0;)
        answer.append(piece, static_cast<size_t>(received));
    return answer;
}

// What the portal's sign-in page does for the opened address: the callback with a real code.
std::string portalCallbackTarget(const std::string& openedAddress) {
    const std::string base(build::portalBaseAddress);
    const PortalRequest request = openPortalRequest(openedAddress.substr(base.size()), {}, {}, {});
    const std::string location = queryHeader(request, WINHTTP_QUERY_LOCATION);
    return location.substr(std::string("http://127.0.0.1:43872").size());
}

bool portIsFree() {
    const Socket probe = tcpSocket();
    return ::bind(probe.get(), listenerAddress(), sizeof(sockaddr_in)) == 0;
}

class BrowserSignIn : public ::testing::Test {
  protected:
    void SetUp() override { portal::reset(); }

    std::future<std::string> startSignIn() {
        return std::async(std::launch::async,
                          [this] { return errorText([this] { client.signInWithBrowser(); }); });
    }
    static std::string outcome(std::future<std::string>& run, std::chrono::seconds timeout = 60s) {
        return run.wait_for(timeout) == std::future_status::ready ? run.get() : "(still waiting)";
    }

    test::ScratchClient scratch;
    Client& client = scratch.client;
};

TEST_F(BrowserSignIn, EndToEndThroughTheBrowserStoresProtectedTokens) {
    std::vector<std::string> lines;
    client.progress.report = [&](const std::string& text, std::uint64_t, std::uint64_t) {
        lines.push_back(text);
    };
    client.signInWithBrowser();

    EXPECT_EQ(lines,
              (std::vector<std::string>{"Anmeldung im Standardbrowser …", "Bei CORVALIS angemeldet."}));
    const std::string token = client.credentials.at("access_token");
    const std::string file = test::readBytes(credentialsPath(client.dataRoot));
    EXPECT_EQ(file.find(token), std::string::npos);
    EXPECT_EQ(file.find("access_token"), std::string::npos);
    EXPECT_EQ(parse(unprotectCredentials(file)), client.credentials);
    EXPECT_EQ(fetchPortal(std::string(portal::catalogPath) + "stable", client.accessToken(false), {}).status,
              200);

    const auto log = portal::requestLog(3);
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[0].at("path"), "/connect/authorize");
    const std::string address = "?" + log[0].at("query").get<std::string>();
    EXPECT_EQ(queryValue(address, "client_id"), "tessaro-installer");
    EXPECT_EQ(queryValue(address, "response_type"), "code");
    EXPECT_EQ(queryValue(address, "scope"), "openid%20profile%20email%20offline_access%20software.download");
    EXPECT_EQ(queryValue(address, "redirect_uri"), "http%3A%2F%2F127.0.0.1%3A43872%2Fcallback");
    EXPECT_EQ(queryValue(address, "code_challenge_method"), "S256");
    EXPECT_EQ(queryValue(address, "state").size(), 43u);
    const std::string challenge = queryValue(address, "code_challenge");
    const std::string exchange = log[1].at("body");
    const std::string verifier = queryValue("?" + exchange, "code_verifier");
    EXPECT_EQ(verifier.size(), 64u);
    Sha256 hash;
    hash.update(verifier.data(), static_cast<std::uint32_t>(verifier.size()));
    const auto digest = hash.finish();
    EXPECT_EQ(challenge, base64Encode(std::string(digest.begin(), digest.end()), true));
    EXPECT_EQ(exchange.rfind("grant_type=authorization_code&client_id=tessaro-installer&redirect_uri="
                             "http%3A%2F%2F127.0.0.1%3A43872%2Fcallback&code=",
                             0),
              0u);
    EXPECT_EQ(log[1].at("status"), 200);

    // The portal sends the browser back without a code when the user declines.
    const Json before = client.credentials;
    portal::addFault({{"fault", "deny-sign-in"}, {"times", 1}});
    EXPECT_EQ(errorText([&] { client.signInWithBrowser(); }), "Anmeldung wurde abgebrochen.");
    EXPECT_EQ(client.credentials, before);
    EXPECT_TRUE(portIsFree());
}

TEST_F(BrowserSignIn, DropsForeignRequestsUntilItsOwnCallbackArrives) {
    BrowserStub browser;
    auto run = startSignIn();
    const std::string opened = browser.awaitOpenedAddress();
    ASSERT_FALSE(opened.empty());
    const std::string state = queryValue(opened, "state");
    ASSERT_EQ(state.size(), 43u);

    // Without exactly one state of its own, nothing else in a request can end the sign-in.
    const std::string foreignRequests[] = {"GET /favicon.ico HTTP/1.1",
                                           "GET /callback?state=" + state + "x&code=c HTTP/1.1",
                                           "GET /callback?code=c HTTP/1.1",
                                           "GET /callback HTTP/1.1",
                                           "GET /callback?code=a%zz&x=1&x=2 HTTP/1.1",
                                           "GET /callback?state=" + state + "&state=" + state + " HTTP/1.1",
                                           "GET /callback?state=" + state + "%4&code=c HTTP/1.1"};
    for (const std::string& foreign : foreignRequests)
        EXPECT_EQ(callBack(foreign), "") << foreign;
    EXPECT_EQ(run.wait_for(0s), std::future_status::timeout);

    EXPECT_EQ(callBack("GET " + portalCallbackTarget(opened) + " HTTP/1.1"), browserAnswer);
    EXPECT_EQ(outcome(run), "(no error)");
    EXPECT_TRUE(client.credentials.contains("access_token"));
    EXPECT_TRUE(std::filesystem::exists(credentialsPath(client.dataRoot)));
}

TEST_F(BrowserSignIn, CallbackDefectsEndTheSignInWithoutCredentials) {
    struct Case {
        std::string query; // {state} stands for the sign-in's own state
        std::string_view answer;
        const char* message;
    } cases[] = {
        {"state={state}&code=c&code=d", "", "Doppelte Browserantwort."},
        {"state={state}&code=ab%4", "", "Ungültige Browserantwort."},
        {"x=%zz&state={state}&code=c", "", "Ungültige Browserantwort."},
        {"error=access_denied&state={state}", browserAnswer, "Anmeldung wurde abgebrochen."},
        {"code=&state={state}", browserAnswer, "Anmeldung wurde abgebrochen."},
    };
    for (const Case& c : cases) {
        BrowserStub browser;
        auto run = startSignIn();
        const std::string opened = browser.awaitOpenedAddress();
        ASSERT_FALSE(opened.empty());
        std::string query = c.query;
        for (size_t at; (at = query.find("{state}")) != std::string::npos;)
            query.replace(at, 7, queryValue(opened, "state"));
        EXPECT_EQ(callBack("GET /callback?" + query + " HTTP/1.1"), c.answer) << c.query;
        EXPECT_EQ(outcome(run), c.message) << c.query;
        EXPECT_EQ(client.credentials, Json::object());
        EXPECT_FALSE(std::filesystem::exists(credentialsPath(client.dataRoot)));
        EXPECT_TRUE(portIsFree());
    }
    for (const Json& entry : portal::requestLog())
        EXPECT_NE(entry.at("path"), "/connect/token");
}

TEST_F(BrowserSignIn, TakenPortFailsAtOnceWithoutOpeningTheBrowser) {
    BrowserStub browser;
    const Socket other = tcpSocket();
    ASSERT_EQ(::bind(other.get(), listenerAddress(), sizeof(sockaddr_in)), 0);
    ASSERT_EQ(::listen(other.get(), 1), 0);

    EXPECT_EQ(errorText([&] { client.signInWithBrowser(); }),
              "Anmeldung läuft bereits oder Port 43872 ist belegt.");
    EXPECT_EQ(browser.awaitOpenedAddress(2s), "");
}

TEST_F(BrowserSignIn, CancelEndsTheWaitWithinAboutASecond) {
    BrowserStub browser;
    auto run = startSignIn();
    ASSERT_FALSE(browser.awaitOpenedAddress().empty());
    const auto cancelledAt = std::chrono::steady_clock::now();
    client.progress.cancelled = true;
    EXPECT_EQ(outcome(run, 10s), "Anmeldung abgebrochen.");
    EXPECT_LT(std::chrono::steady_clock::now() - cancelledAt, 3s);
    EXPECT_TRUE(portIsFree());
}

TEST_F(BrowserSignIn, ATricklingClientIsDroppedAfterTenSecondsAndCancelIsHonouredWhileItSends) {
    // Ten seconds of trickling and then the callback must fit into the sign-in's own wait.
    test::ProductWaits productWaits;
    for (const bool cancel : {false, true}) {
        BrowserStub browser;
        auto run = startSignIn();
        const std::string opened = browser.awaitOpenedAddress();
        ASSERT_FALSE(opened.empty());
        Trickler stray;
        if (cancel) {
            std::this_thread::sleep_for(2s);
            client.progress.cancelled = true;
            EXPECT_EQ(outcome(run, 3s), "Anmeldung abgebrochen.");
            client.progress.cancelled = false;
            continue;
        }
        const auto held = stray.heldFor(20s);
        ASSERT_TRUE(held.has_value());
        EXPECT_GE(*held, 9s);
        EXPECT_LE(*held, 12s);
        EXPECT_EQ(callBack("GET " + portalCallbackTarget(opened) + " HTTP/1.1"), browserAnswer);
        EXPECT_EQ(outcome(run), "(no error)");
    }
    EXPECT_TRUE(portIsFree());
}

TEST_F(BrowserSignIn, ASilentClientIsDroppedAfterTwoSeconds) {
    BrowserStub browser;
    auto run = startSignIn();
    const std::string opened = browser.awaitOpenedAddress();
    ASSERT_FALSE(opened.empty());
    Trickler silent(true);
    const auto held = silent.heldFor(20s);
    ASSERT_TRUE(held.has_value());
    EXPECT_GE(*held, 1500ms);
    EXPECT_LE(*held, 4s);
    EXPECT_EQ(callBack("GET " + portalCallbackTarget(opened) + " HTTP/1.1"), browserAnswer);
    EXPECT_EQ(outcome(run), "(no error)");
}

TEST_F(BrowserSignIn, RefusedRefreshOpensTheBrowserWhenInteractive) {
    client.credentials = {{"access_token", "at-old"}, {"expiresAt", 1}, {"refresh_token", "rt-unknown"}};
    const std::string token = client.accessToken(true);
    EXPECT_NE(token, "at-old");
    EXPECT_EQ(loadStoredCredentials(client.dataRoot).at("access_token"), token);

    std::vector<std::string> road;
    for (const Json& entry : portal::requestLog(3))
        road.push_back(entry.at("path").get<std::string>() + " " +
                       std::to_string(entry.at("status").get<int>()));
    EXPECT_EQ(road, (std::vector<std::string>{"/connect/token 400", "/connect/authorize 302",
                                              "/connect/token 200"}));
}

// Nobody comes back from the browser: the sign-in gives up after its 300 waiting cycles (5 minutes).
TEST(SlowBrowserSignIn, ExpiresAfter300QuietCycles) {
    test::ProductWaits productWaits;
    test::ScratchClient scratch;
    BrowserStub browser;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(errorText([&] { scratch.client.signInWithBrowser(); }),
              "Anmeldung ist abgelaufen. Bitte erneut versuchen.");
    EXPECT_GE(std::chrono::steady_clock::now() - start, 299s);
    EXPECT_FALSE(browser.awaitOpenedAddress(1s).empty());
    EXPECT_TRUE(portIsFree());
}

} // namespace
} // namespace tess
