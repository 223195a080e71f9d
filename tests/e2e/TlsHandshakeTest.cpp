// The TLS listener of the device link handler in this process, for what needs its
// registration timeout as a constructor argument or its counts.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "TempDir.h"
#include "TestDevice.h"
#include "TlsTestKit.h"
#include "WaitFor.h"
#include "core/CTcpServer.h"
#include "core/TlsHandshakeCounts.h"
#include "net/CTlsContext.h"

namespace {

using tls_test::kDay;

class TlsLinkServer : public CTcpServer {
 public:
  TlsLinkServer(std::chrono::milliseconds registrationTimeout, std::shared_ptr<const Sockora::CTlsContext> context)
      : CTcpServer("127.0.0.1", 0, registrationTimeout) {
    ListenForTls(0, std::move(context), true);
    Start();
    StartAcceptingConnections();
  }
  ~TlsLinkServer() override { StopAndShutDown(); }
};

class TlsHandshakeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const tls_test::Identity ca = tls_test::MakeCa("Vantrel test CA");
    tls_test::WriteIdentity(ca, dir.File("ca"));
    tls_test::WriteIdentity(tls_test::MakeIdentity("127.0.0.1", &ca, -kDay, 365 * kDay), dir.File("server"));
    std::string failure;
    context = Sockora::CTlsContext::Load({dir.File("server.pem"), dir.File("server.key"), ""}, failure);
    ASSERT_TRUE(context) << failure;
  }

  TempDir dir;
  std::shared_ptr<const Sockora::CTlsContext> context;
};

// A client that starts a handshake and stops half-way holds no connection beyond the
// registration time: the handshake counts against it.
TEST_F(TlsHandshakeTest, AHalfFinishedHandshakeIsClosedByTheRegistrationTimeout) {
  TlsLinkServer server(std::chrono::milliseconds(300), context);
  TlsHandshakeCounts& counts = TlsHandshakeCounts::Instance();
  const std::uint64_t timedOut = counts.Failed(TlsFailure::Timeout);
  TestDevice client(server.TlsListeningPort());
  ASSERT_TRUE(client.IsOpen());
  // A ClientHello's record and handshake headers announcing 200 bytes, and a few of them.
  ASSERT_TRUE(client.Send(Bytes{0x16, 0x03, 0x01, 0x00, 0xC8, 0x01, 0x00, 0x00, 0xC4, 0x03, 0x03, 1, 2, 3, 4}));
  EXPECT_TRUE(client.WaitClosed(std::chrono::seconds(20)));
  EXPECT_EQ(counts.Failed(TlsFailure::Timeout), timedOut + 1);
}

// Handshakes are counted by outcome: one that finished, one cut off by the client.
TEST_F(TlsHandshakeTest, HandshakesAreCountedByOutcome) {
  TlsLinkServer server(std::chrono::seconds(60), context);
  TlsHandshakeCounts& counts = TlsHandshakeCounts::Instance();
  const std::uint64_t succeeded = counts.Succeeded();
  const std::uint64_t closed = counts.Failed(TlsFailure::Closed);
  {
    tls_test::TlsDevice device(server.TlsListeningPort(), dir.File("ca.pem"));
    ASSERT_TRUE(device.Connected());
  }
  {
    TestDevice client(server.TlsListeningPort());
    ASSERT_TRUE(client.Send(Bytes{0x16, 0x03, 0x01, 0x00, 0xC8, 0x01}));
  }
  EXPECT_TRUE(WaitFor([&] {
    return counts.Succeeded() > succeeded && counts.Failed(TlsFailure::Closed) > closed;
  }));
  EXPECT_EQ(counts.Succeeded(), succeeded + 1);
  EXPECT_EQ(counts.Failed(TlsFailure::Closed), closed + 1);
}

}  // namespace
