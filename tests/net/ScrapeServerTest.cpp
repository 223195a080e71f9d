// The metrics page's HTTP server on loopback, met by a raw TCP client.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "FreePort.h"
#include "HttpExchange.h"
#include "TestDevice.h"
#include "net/CScrapeServer.h"

namespace {

class ScrapeServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string failure;
    server = CScrapeServer::Start("127.0.0.1", 0, "/metrics", "text/plain; version=0.0.4",
                                  [this]() -> std::optional<std::string> {
                                    if (++scrapes == unanswered) return std::nullopt;
                                    return "up 1\n";
                                  },
                                  failure);
    ASSERT_TRUE(server) << failure;
    ASSERT_NE(server->Port(), 0);
  }

  std::atomic<int> scrapes{0};
  std::atomic<int> unanswered{-1};  // the scrape whose page is not to be had
  std::unique_ptr<CScrapeServer> server;
};

}  // namespace

TEST_F(ScrapeServerTest, AnswersGetOnItsPathAndNothingElse) {
  struct Case {
    std::string request;
    int status;
    const char* inHead;
  };
  const std::vector<Case> cases = {
      {HttpRequest("GET", "/metrics"), 200, "Content-Type: text/plain; version=0.0.4"},
      {HttpRequest("GET", "/metrics?debug=1"), 200, "Content-Length: 5"},
      {"GET /metrics HTTP/1.0\r\n\r\n", 200, "HTTP/1.0 200"},
      {HttpRequest("GET", "/"), 404, ""},
      {HttpRequest("GET", "/metrics/"), 404, ""},
      {HttpRequest("GET", "/../metrics.txt"), 404, ""},
      {HttpRequest("POST", "/metrics", "Content-Length: 3\r\n") + "a=1", 405, "Allow: GET"},
      {HttpRequest("HEAD", "/metrics"), 405, "Allow: GET"},
      {HttpRequest("DELETE", "/other"), 404, ""},
  };
  int answered = 0;
  for (const Case& row : cases) {
    SCOPED_TRACE(row.request);
    const HttpAnswer answer = HttpExchange(server->Port(), row.request);
    EXPECT_EQ(answer.Status, row.status) << answer.Head;
    EXPECT_NE(answer.Head.find(row.inHead), std::string::npos) << answer.Head;
    if (row.status == 200) {
      ++answered;
      EXPECT_EQ(answer.Body, "up 1\n");
    }
  }
  EXPECT_EQ(scrapes, answered) << "the page is made only for the requests it answers";

  unanswered = scrapes + 1;
  EXPECT_EQ(HttpExchange(server->Port(), HttpRequest("GET", "/metrics")).Status, 503);
}

TEST_F(ScrapeServerTest, AnOversizedOrBrokenRequestIsRefused) {
  const std::vector<std::string> requests = {
      HttpRequest("GET", "/metrics", "X-Filler: " + std::string(CScrapeServer::kMaxRequestBytes, 'x') + "\r\n"),
      HttpRequest("GET", "/" + std::string(CScrapeServer::kMaxRequestBytes, 'm')),
      "NONSENSE\r\n\r\n",
  };
  for (const std::string& request : requests) {
    SCOPED_TRACE(request.substr(0, 40));
    const HttpAnswer answer = HttpExchange(server->Port(), request);
    // Refused with a 4xx, or the connection closed without an answer.
    EXPECT_TRUE(answer.Status == 0 || (answer.Status >= 400 && answer.Status < 500)) << answer.Head;
  }
  EXPECT_EQ(scrapes, 0);
  EXPECT_EQ(HttpExchange(server->Port(), HttpRequest("GET", "/metrics")).Status, 200) << "still serving";
}

// A client that connects and says nothing holds one of the two request threads only
// until the request timeout.
TEST_F(ScrapeServerTest, SilentClientsAreClosedAfterTheRequestTimeout) {
  TestDevice first(server->Port()), second(server->Port());
  ASSERT_TRUE(first.IsOpen() && second.IsOpen());
  ASSERT_TRUE(second.Send(Text("GET /metr")));
  EXPECT_TRUE(first.WaitClosed(std::chrono::seconds(60)));
  EXPECT_TRUE(second.WaitClosed(std::chrono::seconds(60)));
  EXPECT_EQ(HttpExchange(server->Port(), HttpRequest("GET", "/metrics")).Status, 200);
}

TEST(ScrapeServerStartTest, AnAddressThatCannotBeListenedOnFailsWithTheReason) {
  TakenPort taken;
  ASSERT_NE(taken.Port(), 0);
  struct Case {
    std::string ip;
    std::uint16_t port;
    std::string inReason;
  };
  const std::vector<Case> cases = {
      {"localhost", 9464, "\"localhost\" is not a dotted IPv4 address"},
      {"127.0.0.1,0.0.0.0", 9464, "not a dotted IPv4 address"},
      {"127.0.0.1", taken.Port(), std::to_string(taken.Port())},
      // TEST-NET-1: an address of no interface here.
      {"192.0.2.1", FreePort(), "192.0.2.1"},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.ip + ":" + std::to_string(row.port));
    std::string failure;
    EXPECT_EQ(CScrapeServer::Start(row.ip, row.port, "/metrics", "text/plain", [] { return std::string(); }, failure),
              nullptr);
    EXPECT_NE(failure.find(row.inReason), std::string::npos) << failure;
  }
}
