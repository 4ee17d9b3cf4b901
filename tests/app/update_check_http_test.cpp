// The update check against a loopback HTTP server, with a notifier that only
// counts.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "app/update_check.h"
#include "tests/support/http_server.h"

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

constexpr const char* kVersionPath = "/ndi/nditabrivoversion.txt";

struct Notification {
    std::string title, body;
};

class UpdateCheckTest : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server_.ok());
        setenv("NDITABRIVO_UPDATE_HOST", server_.hostPort().c_str(), 1);
    }

    void publish(const std::string& body) { server_.serve(kVersionPath, {200, body}); }

    // Runs the check against runningVersion; returns what it printed on
    // standard output.
    std::string check(const char* runningVersion) {
        CaptureStdout();
        CaptureStderr();
        notified_ = versionControl(runningVersion, [this](const char* title, const char* body) {
            shown_.push_back({title, body});
            return true;
        });
        stderr_ = GetCapturedStderr();
        return GetCapturedStdout();
    }

    testsupport::HttpServer server_;
    std::vector<Notification> shown_;
    bool notified_ = false;
    std::string stderr_;
};

TEST_F(UpdateCheckTest, HigherPublishedVersionNotifiesOnce) {
    publish("2.5");
    EXPECT_EQ(check("2.4"), "Latest Version is 2.500000\n");
    ASSERT_EQ(shown_.size(), 1u);
    EXPECT_TRUE(notified_);
    EXPECT_EQ(shown_[0].title, "Software Update Available!");
    EXPECT_EQ(shown_[0].body,
              "A new version of NDI Tabrivo is available.\nClick on the Corvel link for details");
    EXPECT_EQ(stderr_, "");

    const auto requests = server_.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].path, kVersionPath);
    EXPECT_EQ(requests[0].header("User-Agent"), "libcurl-agent/1.0");
}

TEST_F(UpdateCheckTest, EqualOrLowerPublishedVersionStaysQuiet) {
    for (const char* published : {"2.4", "2.40", "2.39", "-3"}) {
        publish(published);
        check("2.4");
        EXPECT_TRUE(shown_.empty()) << published;
    }
}

TEST_F(UpdateCheckTest, VersionsAreSingleDecimalNumbers) {
    publish("1.10");
    EXPECT_EQ(check("1.9"), "Latest Version is 1.100000\n");
    EXPECT_TRUE(shown_.empty());

    publish("2.2");
    check("2.1.3");  // counts as 2.1
    EXPECT_EQ(shown_.size(), 1u);
}

TEST_F(UpdateCheckTest, OnlyTheLeadingNumberOfTheBodyCounts) {
    publish("3.0\nReleased today.\n2.0 is old\n");
    EXPECT_EQ(check("2.9"), "Latest Version is 3.000000\n");
    EXPECT_EQ(shown_.size(), 1u);

    publish("  \t+4.25 and more");
    EXPECT_EQ(check("2.9"), "Latest Version is 4.250000\n");
    EXPECT_EQ(shown_.size(), 2u);
}

TEST_F(UpdateCheckTest, ZeroStaysQuiet) {
    publish("0");
    EXPECT_EQ(check("0.5"), "Latest Version is 0.000000\n");
    EXPECT_TRUE(shown_.empty());
}

// A body of a 200 that does not begin with a number is no version at all,
// not version 0.
TEST_F(UpdateCheckTest, ABodyThatIsNotANumberIsNoData) {
    for (const std::string& published :
         std::vector<std::string>{"version two", "<html>moved</html>",
                                  std::string("\x01\xfe\0007\xff", 5), "-", ". 5"}) {
        publish(published);
        EXPECT_EQ(check("0.5"), "Latest Version data not available\n") << published;
    }
    EXPECT_TRUE(shown_.empty());
}

// Set but empty, the host turns the check off: nothing is asked of any host.
TEST_F(UpdateCheckTest, AnEmptyHostTurnsTheCheckOff) {
    publish("9.0");
    setenv("NDITABRIVO_UPDATE_HOST", "", 1);
    EXPECT_EQ(check("1.0"), "Update check off: NDITABRIVO_UPDATE_HOST is empty\n");
    EXPECT_EQ(stderr_, "");
    EXPECT_FALSE(notified_);
    EXPECT_TRUE(server_.requests().empty());
}

TEST_F(UpdateCheckTest, ANumberThatIsNotFiniteIsNoData) {
    for (const char* published : {"inf", "nan", "-inf", "1e39", "1e400"}) {
        publish(published);
        EXPECT_EQ(check("0.5"), "Latest Version data not available\n") << published;
    }
    EXPECT_TRUE(shown_.empty());
}

TEST_F(UpdateCheckTest, AnErrorPageIsNoDataWhateverItSays) {
    // Nothing published: the server answers 404 with an HTML page. Error
    // pages that begin with their status must not read as a version either.
    EXPECT_EQ(check("1.0"), "Latest Version data not available\n");
    EXPECT_EQ(stderr_, "update check: HTTP status 404\n");
    server_.serve(kVersionPath, {404, "404 page not found"});
    EXPECT_EQ(check("1.0"), "Latest Version data not available\n");
    server_.serve(kVersionPath, {500, "500 Internal Server Error"});
    EXPECT_EQ(check("1.0"), "Latest Version data not available\n");
    EXPECT_EQ(stderr_, "update check: HTTP status 500\n");
    EXPECT_TRUE(shown_.empty());
}

TEST_F(UpdateCheckTest, ATransferCutShortIsNoData) {
    // "10000000000.5" announced, the connection closed after "10000": what
    // arrived is a number, but not the one published.
    server_.serve(kVersionPath, {200, "10000000000.5\n", "text/plain", 5});
    EXPECT_EQ(check("1.0"), "Latest Version data not available\n");
    EXPECT_NE(stderr_.find("curl_easy_perform() failed"), std::string::npos) << stderr_;
    EXPECT_TRUE(shown_.empty());
}

TEST_F(UpdateCheckTest, EmptyBodyIsNoData) {
    publish("");
    EXPECT_EQ(check("1.0"), "Latest Version data not available\n");
    EXPECT_TRUE(shown_.empty());
}

TEST_F(UpdateCheckTest, UnreadableRunningVersionStaysQuiet) {
    publish("9.0");
    check("");
    check(nullptr);
    EXPECT_TRUE(shown_.empty());
}

TEST_F(UpdateCheckTest, NoServerReportsAndCarriesOn) {
    setenv("NDITABRIVO_UPDATE_HOST",
           ("127.0.0.1:" + std::to_string(testsupport::closedLoopbackPort())).c_str(), 1);
    EXPECT_EQ(check("1.0"), "Latest Version data not available\n");
    EXPECT_EQ(stderr_, "curl_easy_perform() failed: Couldn't connect to server\n");
    EXPECT_TRUE(shown_.empty());
    EXPECT_FALSE(notified_);
}

TEST_F(UpdateCheckTest, OversizedBodyIsCutToTheCap) {
    publish("7.5\n" + std::string(1 << 20, 'x'));
    uint32_t size = 0;
    char* body = httpGetToMemory(versionFileUrl().c_str(), &size);
    ASSERT_NE(body, nullptr);
    EXPECT_EQ(size, kMaxResponseBytes);
    EXPECT_EQ(body[size], '\0');
    EXPECT_EQ(std::string(body, 4), "7.5\n");
    std::free(body);

    EXPECT_EQ(check("7.0"), "Latest Version is 7.500000\n");
    EXPECT_EQ(stderr_, "");
    EXPECT_EQ(shown_.size(), 1u);
}

TEST_F(UpdateCheckTest, VersionFileUrlFollowsTheEnvironment) {
    EXPECT_EQ(versionFileUrl(), "http://" + server_.hostPort() + kVersionPath);
    unsetenv("NDITABRIVO_UPDATE_HOST");
    EXPECT_EQ(versionFileUrl(), std::string("http://") + NDITABRIVO_WEB_HOST + kVersionPath);
    setenv("NDITABRIVO_UPDATE_HOST", "", 1);
    EXPECT_EQ(versionFileUrl(), std::string("http://") + NDITABRIVO_WEB_HOST + kVersionPath);
}

TEST_F(UpdateCheckTest, GetHandsBackTheBodyOfAnyStatus) {
    server_.serve("/gone", {500, "oops", "text/plain"});
    uint32_t size = 99;
    char* body = httpGetToMemory(server_.url("/gone").c_str(), &size);
    ASSERT_NE(body, nullptr);
    EXPECT_EQ(size, 4u);
    EXPECT_STREQ(body, "oops");
    std::free(body);
}

TEST_F(UpdateCheckTest, PostSendsTheTextAndHandsBackAnExactCopy) {
    server_.serve("/post", {200, "pong"});
    uint32_t size = 0;
    char* buffer = nullptr;
    EXPECT_EQ(httpPostToMemory(server_.url("/post").c_str(), "name=value&x=1", &size, &buffer), 0);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(std::string(buffer, size), "pong");
    std::free(buffer);

    const auto requests = server_.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].body, "name=value&x=1");
    EXPECT_EQ(requests[0].header("User-Agent"), "libcurl-agent/1.0");

    server_.serve("/empty", {200, ""});
    buffer = reinterpret_cast<char*>(1);
    EXPECT_EQ(httpPostToMemory(server_.url("/empty").c_str(), "", &size, &buffer), 0);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(buffer, nullptr);
}

TEST(WriteMemoryCallback, AppendsAndTerminatesUpToTheCap) {
    ResponseBuffer response{static_cast<char*>(std::malloc(1)), 0};
    char block[] = "abcdef";
    EXPECT_EQ(writeMemoryCallback(block, 1, 3, &response), 3u);
    EXPECT_EQ(writeMemoryCallback(block + 3, 3, 1, &response), 3u);
    EXPECT_EQ(response.size, 6u);
    EXPECT_STREQ(response.data, "abcdef");

    std::string big(kMaxResponseBytes, 'z');
    EXPECT_EQ(writeMemoryCallback(big.data(), 1, big.size(), &response), big.size());
    EXPECT_EQ(response.size, kMaxResponseBytes);
    EXPECT_EQ(response.data[kMaxResponseBytes], '\0');
    EXPECT_EQ(response.data[kMaxResponseBytes - 1], 'z');
    std::free(response.data);
}

TEST(WriteMemoryCallback, RefusesAfterALostBufferOrAnOverflowingCount) {
    ResponseBuffer lost{nullptr, 0};
    char byte = 'a';
    EXPECT_EQ(writeMemoryCallback(&byte, 1, 1, &lost), 0u);

    ResponseBuffer response{static_cast<char*>(std::malloc(1)), 0};
    EXPECT_EQ(writeMemoryCallback(&byte, SIZE_MAX / 2, 3, &response), 0u);
    EXPECT_EQ(response.size, 0u);
    std::free(response.data);
}

}  // namespace
