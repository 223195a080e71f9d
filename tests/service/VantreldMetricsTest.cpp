// The metrics page of vantreld as a monitoring system meets it: the program as a process,
// devices on real TCP connections, a port on a real pty pair, the page over HTTP.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "../storage/SqliteFile.h"
#include "FreePort.h"
#include "HttpExchange.h"
#include "SerialFixture.h"
#include "TempDir.h"
#include "TestCertificates.h"
#include "TestDevice.h"
#include "Vantreld.h"
#include "WaitFor.h"
#include "platform/CNullModemPair.h"

namespace {

// vantreld on 127.0.0.1 with its metrics page on a port of its own: device 1 on COM5, one
// end of a pty pair whose other end the test holds, device 2 on COM9, a port that cannot
// be opened (its data is stored, up to a store limit of 1000 bytes).
class VantreldMetricsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directory(dir.File("ports"));
    ASSERT_TRUE(pair.Create()) << pair.LastError();
    ASSERT_TRUE(pair.Link(dir.File("ports"), "COM5", ""));
    std::filesystem::create_symlink("/nonexistent/COM9", dir.File("ports/COM9"));
    local.emplace(pair.PathB());
    ASSERT_EQ(vantreld.Run("settings set --ip 127.0.0.1 --delay 0 --store-limit 1000 --port " + std::to_string(port)), 0)
        << vantreld.Errors();
    ASSERT_EQ(vantreld.Run("tunnel add 00000001 --port COM5"), 0);
    ASSERT_EQ(vantreld.Run("tunnel add 00000002 --port COM9"), 0);
    SetMetricsAddress("127.0.0.1:" + std::to_string(metricsPort));
  }

  void SetMetricsAddress(const std::string& address) {
    SqliteFile file(dir.File("Info.db"));
    file.Exec("delete from TabSetting where ParamKey = 'MetricsAddress'");
    file.Exec("insert into TabSetting values ('MetricsAddress', '" + address + "')");
  }

  void Start() {
    vantreld.Start();
    ASSERT_TRUE(WaitFor([&] { return vantreld.Output().find(kStarted) != std::string::npos; })) << vantreld.Errors();
  }

  HttpAnswer Scrape() { return HttpExchange(metricsPort, HttpRequest("GET", "/metrics")); }

  // True once a scrape shows every figure of `expected`; the last page in `page`.
  bool ScrapeShows(const std::map<std::string, double>& expected, std::string& page) {
    return WaitFor([&] {
      const HttpAnswer answer = Scrape();
      page = answer.Body;
      if (answer.Status != 200) return false;
      const std::map<std::string, double> samples = MetricSamples(answer.Body);
      for (const auto& [name, value] : expected) {
        auto it = samples.find(name);
        if (it == samples.end() || it->second != value) return false;
      }
      return true;
    });
  }

  TempDir dir;
  Vantreld vantreld{dir.Path()};
  const std::uint16_t port = FreePort();
  const std::uint16_t metricsPort = FreePort();
  CNullModemPair pair;
  std::optional<LocalEnd> local;
};

}  // namespace

TEST_F(VantreldMetricsTest, TheFiguresFollowDevicesTrafficAndTheStore) {
  Start();
  std::string page;
  EXPECT_TRUE(ScrapeShows({{"vantrel_devices_configured", 2},
                           {"vantrel_devices_connected", 0},
                           {"vantrel_devices_matched_online", 0},
                           {"vantrel_ports{state=\"open\"}", 1},
                           {"vantrel_ports{state=\"failed\"}", 1},
                           {"vantrel_service_state{state=\"running\"}", 1}},
                          page))
      << page;

  // Device 1 both ways: each ? written to the port while it waits to be told apart from
  // the reply counts as a byte to the device.
  TestDevice first(port);
  ASSERT_TRUE(first.Send(Registration(1)));
  ASSERT_TRUE(WaitRegistered(*local, first));
  ASSERT_TRUE(first.Send(Text("hello")));
  EXPECT_EQ(local->Read(5), Text("hello"));
  // Device 2 sends to a port that is not open: stored as not forwarded.
  TestDevice second(port);
  ASSERT_TRUE(second.Send(Registration(2)));
  ASSERT_TRUE(second.Send(Bytes(300, 0x41)));
  // A device without a tunnel.
  TestDevice stranger(port);
  ASSERT_TRUE(stranger.Send(Registration(0x0000BEEF)));

  EXPECT_TRUE(ScrapeShows({{"vantrel_devices_connected", 3},
                           {"vantrel_devices_matched_online", 2},
                           {"vantrel_registrations_total{result=\"configured\"}", 2},
                           {"vantrel_registrations_total{result=\"unconfigured\"}", 1},
                           {"vantrel_bytes_total{direction=\"to_port\"}", 305},
                           {"vantrel_records_total{direction=\"to_port\"}", 2},
                           {"vantrel_records_stored_total", 1},
                           {"vantrel_store_limit_bytes", 1000}},
                          page))
      << page;
  const std::map<std::string, double> samples = MetricSamples(page);
  // Written to the device: one byte for each ? it read while it waited.
  EXPECT_GE(samples.at("vantrel_bytes_total{direction=\"to_device\"}"), 1);
  EXPECT_EQ(samples.at("vantrel_bytes_total{direction=\"to_device\"}"),
            samples.at("vantrel_records_total{direction=\"to_device\"}"));
  EXPECT_GT(samples.at("vantrel_store_bytes"), 300);
  EXPECT_EQ(samples.at("vantrel_records_not_stored_total"), 0);
  EXPECT_GT(samples.at("process_open_fds"), 0);
  EXPECT_GT(samples.at("process_threads"), 1);
  EXPECT_GT(samples.at("process_resident_memory_bytes"), 0);

  // Beyond the store's limit records are counted, not stored. One at a time: sent together
  // they could arrive as one record.
  ASSERT_TRUE(second.Send(Bytes(300, 0x42)));
  EXPECT_TRUE(ScrapeShows({{"vantrel_records_stored_total", 2}}, page)) << page;
  ASSERT_TRUE(second.Send(Bytes(300, 0x43)));
  EXPECT_TRUE(ScrapeShows({{"vantrel_records_stored_total", 2}, {"vantrel_records_not_stored_total", 1}}, page)) << page;

  const PromtoolVerdict verdict = PromtoolCheck(page);
  if (verdict.Status < 0) GTEST_SKIP() << "promtool is not installed: the page was not checked with it";
  EXPECT_EQ(verdict.Status, 0) << verdict.Output << page;
}

TEST_F(VantreldMetricsTest, TlsHandshakesAreCountedByResult) {
  TestCertificates certificates;
  ASSERT_EQ(certificates.Problem(), "");
  const std::uint16_t tlsPort = FreePort();
  ASSERT_EQ(vantreld.Run("settings set --tls-port " + std::to_string(tlsPort) + " --tls-cert " +
                         certificates.File("server.pem") + " --tls-key " + certificates.File("server.key")),
            0)
      << vantreld.Errors();
  Start();
  // A plain device on the TLS port: its registration is no handshake.
  TestDevice plain(tlsPort);
  ASSERT_TRUE(plain.Send(Registration(1)));
  std::string page;
  EXPECT_TRUE(ScrapeShows({{"vantrel_tls_handshakes_total{result=\"not_tls\"}", 1},
                           {"vantrel_tls_handshakes_total{result=\"succeeded\"}", 0},
                           {"vantrel_tls_handshakes_total{result=\"certificate\"}", 0}},
                          page))
      << page;
}

// A reload moves the page with MetricsAddress, or turns it off; an address it cannot listen
// on refuses the reload and the page stays where it was.
TEST_F(VantreldMetricsTest, AReloadMovesThePageOrKeepsItWhereItWas) {
  Start();
  ASSERT_EQ(Scrape().Status, 200);
  const std::uint16_t movedPort = FreePort();
  const std::string moved = "127.0.0.1:" + std::to_string(movedPort);
  Vantreld command(dir.Path());
  ASSERT_EQ(command.Run("settings set --metrics " + moved), 0) << command.Errors();
  ASSERT_EQ(command.Run("reload"), 0) << command.Errors();
  EXPECT_EQ(HttpExchange(movedPort, HttpRequest("GET", "/metrics")).Status, 200);
  EXPECT_EQ(Scrape().Status, 0) << "nothing listens on the old address";

  TakenPort taken;
  ASSERT_NE(taken.Port(), 0);
  ASSERT_EQ(command.Run("settings set --metrics 127.0.0.1:" + std::to_string(taken.Port())), 0) << command.Errors();
  EXPECT_EQ(command.Run("reload"), 1);
  EXPECT_NE(command.Errors().find("cannot bind to 127.0.0.1:" + std::to_string(taken.Port())), std::string::npos)
      << command.Errors();
  EXPECT_EQ(HttpExchange(movedPort, HttpRequest("GET", "/metrics")).Status, 200) << "still where it was";

  SetMetricsAddress("");
  ASSERT_EQ(command.Run("reload"), 0) << command.Errors();
  EXPECT_EQ(HttpExchange(movedPort, HttpRequest("GET", "/metrics")).Status, 0) << "off";
}

TEST_F(VantreldMetricsTest, RequestsForAnythingElseAreRefused) {
  Start();
  struct Case {
    std::string request;
    int status;
  };
  const std::vector<Case> cases = {
      {HttpRequest("GET", "/"), 404},
      {HttpRequest("GET", "/status"), 404},
      {HttpRequest("POST", "/metrics", "Content-Length: 0\r\n"), 405},
      {HttpRequest("PUT", "/metrics", "Content-Length: 0\r\n"), 405},
      {HttpRequest("GET", "/metrics", "Cookie: " + std::string(64 * 1024, 'c') + "\r\n"), 400},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.request.substr(0, 40));
    EXPECT_EQ(HttpExchange(metricsPort, row.request).Status, row.status);
  }
  const HttpAnswer answer = Scrape();
  EXPECT_EQ(answer.Status, 200);
  EXPECT_NE(answer.Head.find("Content-Type: text/plain; version=0.0.4; charset=utf-8"), std::string::npos) << answer.Head;
}

// An address the page cannot listen on fails the start; a stored value that is no address
// at all is read as off, with a warning, as every stored setting that cannot be used.
TEST_F(VantreldMetricsTest, AMetricsAddressThatCannotBeListenedOnFailsTheStartWithTheReason) {
  TakenPort taken;
  ASSERT_NE(taken.Port(), 0);
  const std::string takenAddress = "127.0.0.1:" + std::to_string(taken.Port());
  // TEST-NET-1: an address of no interface here.
  const std::string foreignAddress = "192.0.2.1:" + std::to_string(metricsPort);
  const std::vector<std::pair<std::string, std::string>> failing = {
      {takenAddress, "MetricsAddress " + takenAddress + ": cannot bind to " + takenAddress},
      {foreignAddress, "MetricsAddress " + foreignAddress + ": cannot bind to " + foreignAddress},
  };
  for (const auto& [address, reason] : failing) {
    SCOPED_TRACE(address);
    SetMetricsAddress(address);
    Vantreld service(dir.Path());
    service.Start();
    EXPECT_EQ(service.WaitForExit(), 1);
    EXPECT_NE(service.Errors().find(reason), std::string::npos) << service.Errors();
    EXPECT_EQ(service.Output().find(kStarted), std::string::npos);
  }
  // The notice names the page's address, not the devices' port.
  SetMetricsAddress(takenAddress);
  Vantreld service(dir.Path());
  service.Start();
  EXPECT_EQ(service.WaitForExit(), 1);
  const std::string errors = service.Errors();
  const std::size_t notice = errors.find("Vantrel: ");
  ASSERT_NE(notice, std::string::npos) << errors;
  const std::string noticeLine = errors.substr(notice, errors.find('\n', notice) - notice);
  EXPECT_NE(noticeLine.find(takenAddress), std::string::npos) << noticeLine;
  EXPECT_EQ(noticeLine.find(":" + std::to_string(port)), std::string::npos) << noticeLine;

  SetMetricsAddress("localhost:" + std::to_string(metricsPort));
  Start();
  EXPECT_NE(vantreld.Errors().find("setting MetricsAddress: stored value \"localhost:" + std::to_string(metricsPort) +
                                   "\" is not an address and port"),
            std::string::npos)
      << vantreld.Errors();
  EXPECT_EQ(Scrape().Status, 0) << "no page";
}
