// The device simulator as a TLS device, against a TLS peer of the test's own on loopback:
// what it verifies, what it presents, what it sends and gets back, and why it gives up.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "DevsimProcess.h"
#include "TestCertificates.h"
#include "TlsTestPeer.h"
#include "WaitFor.h"

namespace {

class DevsimTlsTest : public ::testing::Test {
 protected:
  // Made once: the openssl program takes a while for each key.
  static void SetUpTestSuite() { certificates = std::make_unique<TestCertificates>(); }
  static void TearDownTestSuite() { certificates.reset(); }
  void SetUp() override { ASSERT_EQ(certificates->Problem(), ""); }

  static std::string File(const std::string& name) { return "'" + certificates->File(name) + "'"; }
  static TlsTestPeer::Config Peer(const std::string& server, const std::string& clientCa = "") {
    TlsTestPeer::Config config;
    config.certificate = certificates->File(server + ".pem");
    config.key = certificates->File(server + ".key");
    if (!clientCa.empty()) config.clientCa = certificates->File(clientCa);
    return config;
  }

  static std::unique_ptr<TestCertificates> certificates;
};

std::unique_ptr<TestCertificates> DevsimTlsTest::certificates;

TEST_F(DevsimTlsTest, DevicesRegisterAndGetEveryByteBackOverTls) {
  struct Row {
    const char* name;
    TlsTestPeer::Config peer;
    std::string arguments;
    int devices;
    const char* shown;       // the line about the first handshake
    const char* clientName;  // the CN the peer saw
  };
  TlsTestPeer::Config slowReader = Peer("stranger-server");
  slowReader.readPause = std::chrono::milliseconds(2500);
  const Row rows[] = {
      {"verified, with a client certificate", Peer("server", "ca.pem"),
       "--ca " + File("ca.pem") + " --cert " + File("00000001.pem") + " --key " + File("00000001.key") +
           " --devices 3 --generate 3000 --count 20 --rate 200",
       3, "server certificate CN=\"vantrel.example.com\" verified", "00000001"},
      {"verified by the name it was asked for", Peer("server"),
       "--ca " + File("ca.pem") + " --server-name vantrel.example.com --text hello", 1, "verified", ""},
      // 20 MB (a message a millisecond) towards a peer that reads nothing for 2.5 s: the TLS writes
      // wait for the socket.
      {"not verified, a bulk sender", slowReader, "--generate 10000 --count 2000 --rate 100000", 1,
       "not verified (no --ca)", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TlsTestPeer peer(row.peer);
    ASSERT_NE(peer.Port(), 0);
    const DevsimOutcome outcome =
        RunDevsim("--tls --port " + std::to_string(peer.Port()) + " --check --show none --linger 20 " + row.arguments);
    EXPECT_EQ(outcome.exitCode, 0) << outcome.output;
    EXPECT_NE(outcome.output.find("] TLS: TLSv1.3, "), std::string::npos) << outcome.output;
    EXPECT_NE(outcome.output.find(row.shown), std::string::npos) << outcome.output;
    EXPECT_NE(outcome.output.find("check: 0 bytes differed, 0 bytes never came back"), std::string::npos)
        << outcome.output;
    ASSERT_TRUE(WaitFor([&] { return static_cast<int>(peer.Ended().size()) == row.devices; }));
    std::vector<std::string> registered;
    for (const TlsTestPeer::Connection& connection : peer.Ended()) {
      registered.push_back(connection.registeredId);
      EXPECT_EQ(connection.clientName, row.clientName);
    }
    std::sort(registered.begin(), registered.end());
    const std::vector<std::string> expected = {"00000001", "00000002", "00000003"};
    EXPECT_EQ(registered, std::vector<std::string>(expected.begin(), expected.begin() + row.devices));
  }
}

TEST_F(DevsimTlsTest, AServerItCannotTrustOrThatRefusesItFailsTheDeviceWithTheReason) {
  struct Row {
    TlsTestPeer::Config peer;
    std::string arguments;
    const char* reason;
  };
  const Row rows[] = {
      {Peer("stranger-server"), "--ca " + File("ca.pem"),
       "TLS handshake failed: certificate verify failed (unable to get local issuer certificate)"},
      {Peer("server"), "--ca " + File("ca.pem") + " --server-name other.example.com",
       "TLS handshake failed: certificate verify failed (hostname mismatch)"},
      {Peer("server", "ca.pem"), "--ca " + File("ca.pem"), "certificate required"},
      {TlsTestPeer::Config{}, "", "the server closed the connection during the TLS handshake"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.reason);
    TlsTestPeer peer(row.peer);
    ASSERT_NE(peer.Port(), 0);
    const DevsimOutcome outcome =
        RunDevsim("--tls --port " + std::to_string(peer.Port()) + " --text hello " + row.arguments);
    EXPECT_EQ(outcome.exitCode, 1) << outcome.output;
    EXPECT_NE(outcome.output.find("[00000001] "), std::string::npos) << outcome.output;
    EXPECT_NE(outcome.output.find(row.reason), std::string::npos) << outcome.output;
    EXPECT_NE(outcome.output.find("1 device(s), 1 failed"), std::string::npos) << outcome.output;
  }
}

TEST_F(DevsimTlsTest, FilesItCannotUseEndItWithTwoBeforeConnecting) {
  const std::pair<std::string, const char*> rows[] = {
      {"--ca " + File("ca.key"), "cannot use --ca"},
      {"--cert " + File("ca.key") + " --key " + File("ca.key"), "cannot use --cert"},
      {"--cert " + File("00000001.pem") + " --key " + File("00000001.pem"), "cannot use --key"},
      {"--cert " + File("00000001.pem") + " --key " + File("server.key"), "key values mismatch"},
  };
  for (const auto& [arguments, reason] : rows) {
    SCOPED_TRACE(arguments);
    const DevsimOutcome outcome = RunDevsim("--tls --port 9 " + arguments);
    EXPECT_EQ(outcome.exitCode, 2) << outcome.output;
    EXPECT_NE(outcome.output.find(reason), std::string::npos) << outcome.output;
  }
}

}  // namespace
