// The snapshot's way from the running instance to `vantreld status`: whatever a device or
// an operator put in its texts, it arrives as it was sent, and an answer that is not a
// snapshot is named as such.
#include <gtest/gtest.h>

#include <string>

#include "model/ServiceSnapshotText.h"

namespace {

ServiceSnapshot Sample() {
  using namespace std::chrono_literals;
  const ServiceSnapshot::Time at{1'765'440'000'123ms};
  ServiceSnapshot snapshot;
  snapshot.ServiceState = ServiceSnapshot::State::Paused;
  snapshot.Since = at;
  snapshot.Listeners = {{"0.0.0.0", 5001, false}, {"10.0.0.1", 5002, true}};
  snapshot.Configured = 3;
  snapshot.Connected = 2;
  snapshot.MatchedOnline = 1;
  snapshot.Refused = {{"network", 4}, {"per-address cap", 0}};
  ServiceSnapshot::Device device;
  device.Id = "0000A3F1";
  device.Connected = true;
  device.Tls = true;
  device.Port = "COM5";
  device.PortOpen = true;
  // Texts that would break a line or a field if they went unescaped.
  device.Phone = "139\t\n\\t\\x01";
  device.Address = "127.0.0.1:40000";
  device.ConnectedSince = at;
  device.BytesIn = 18'446'744'073'709'551'615u;
  device.BytesOut = 7;
  ServiceSnapshot::Device offline;
  offline.Id = "00000002";
  snapshot.Devices = {device, offline};
  snapshot.Ports = {{"COM5", true, std::nullopt}, {"COM7", false, at}};
  snapshot.StoreBytes = 1024;
  snapshot.StoreLimit = 1 << 30;
  snapshot.Queues = {{"TcpRecvQueue", 12}, {"ComSendQueue", 0}};
  return snapshot;
}

}  // namespace

TEST(ServiceSnapshotText, ASnapshotArrivesAsItWasSent) {
  const ServiceSnapshot sent = Sample();
  std::string error;
  const std::optional<ServiceSnapshot> got = DecodeSnapshot(EncodeSnapshot(sent), error);
  ASSERT_TRUE(got) << error;
  EXPECT_EQ(got->ServiceState, sent.ServiceState);
  EXPECT_EQ(got->Since, sent.Since);
  ASSERT_EQ(got->Listeners.size(), 2u);
  EXPECT_TRUE(got->Listeners[1].Tls);
  EXPECT_EQ(got->Listeners[1].Port, 5002);
  EXPECT_EQ(got->Refused, sent.Refused);
  ASSERT_EQ(got->Devices.size(), 2u);
  const ServiceSnapshot::Device& device = got->Devices[0];
  EXPECT_EQ(device.Phone, sent.Devices[0].Phone);
  EXPECT_EQ(device.ConnectedSince, sent.Devices[0].ConnectedSince);
  EXPECT_EQ(device.BytesIn, sent.Devices[0].BytesIn);
  EXPECT_TRUE(device.Tls);
  EXPECT_FALSE(got->Devices[1].LastDataAt);
  ASSERT_EQ(got->Ports.size(), 2u);
  EXPECT_FALSE(got->Ports[0].FailedSince);
  EXPECT_EQ(got->Ports[1].FailedSince, sent.Ports[1].FailedSince);
  EXPECT_EQ(got->StoreBytes, sent.StoreBytes);
  EXPECT_EQ(got->Queues, sent.Queues);

  ServiceSnapshot unknown = sent;
  unknown.StoreBytes.reset();
  EXPECT_FALSE(DecodeSnapshot(EncodeSnapshot(unknown), error)->StoreBytes);
  // A newer instance may add kinds of lines; an older client reads on.
  EXPECT_TRUE(DecodeSnapshot(EncodeSnapshot(sent) + "tls-handshakes\t5\n", error)) << error;
}

TEST(ServiceSnapshotText, AnAnswerThatIsNoSnapshotIsNamed) {
  const std::string good = EncodeSnapshot(Sample());
  struct Case {
    const char* name;
    std::string text;
    const char* reason;
  };
  const Case cases[] = {
      {"empty", "", "is not a status"},
      {"a device line cut short", "snapshot\t1\ndevice\t00000001\t1\n", "line 2"},
      {"a count that is no number", "snapshot\t1\ncounts\t3\tmany\t1\n", "line 2"},
      {"an unknown state", "snapshot\t1\nstate\tdreaming\t-\n", "line 2"},
      {"a broken escape", "snapshot\t1\nport\tCOM\\q\t1\t-\n", "line 2"},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.name);
    std::string error;
    EXPECT_FALSE(DecodeSnapshot(row.text, error));
    EXPECT_NE(error.find(row.reason), std::string::npos) << error;
  }
}
