// Who may be a device: allowed networks, bindings, unconfigured devices, the cap per
// address and the throttle. 127.0.0.2 and 127.0.0.3 stand for other networks.
#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "EndToEndFixture.h"
#include "WaitFor.h"
#include "core/CTunnelTable.h"
#include "platform/DebugSink.h"

namespace {

// Collects the diagnostic lines (refusal lines among them) written while it lives.
class Lines {
 public:
  Lines() {
    SetDebugCapture([this](std::string_view text) {
      std::lock_guard lock(m_mutex);
      m_text += text;
    });
  }
  ~Lines() { SetDebugCapture({}); }
  std::string Text() {
    std::lock_guard lock(m_mutex);
    return m_text;
  }
  bool Wait(const std::string& part) {
    return WaitFor([&] { return Text().find(part) != std::string::npos; });
  }

 private:
  std::mutex m_mutex;
  std::string m_text;
};

class AdmissionTest : public EndToEndTest {
 protected:
  std::unique_ptr<TestDevice> From(const char* source) {
    auto device = std::make_unique<TestDevice>(server->Port(), source);
    EXPECT_TRUE(device->IsOpen()) << source;
    return device;
  }
  // Registers from `source` and waits until the device is online.
  std::unique_ptr<TestDevice> OnlineFrom(const char* source, std::uint32_t number, const char* phone = "13912345678") {
    auto device = From(source);
    char id[9];
    std::snprintf(id, sizeof id, "%08X", number);
    const std::size_t before = Count(id, DATA_REGISTER);
    SendChunk(*device, Registration(number, phone));
    EXPECT_TRUE(WaitFor([&] { return Count(id, DATA_REGISTER) > before; })) << id << " never came online";
    return device;
  }
  std::size_t Count(const std::string& id, int kind) {
    const auto events = DeviceEvents(id);
    return static_cast<std::size_t>(std::count_if(events.begin(), events.end(), [kind](const Told& t) { return t.kind == kind; }));
  }
  // The device forwards both ways.
  void Forwards(TestDevice& device, const std::string& text) {
    SendChunk(device, Text(text));
    EXPECT_EQ(local->Read(text.size()), Text(text));
    ASSERT_TRUE(local->Write(Text("re:" + text)));
    EXPECT_EQ(device.Read(3 + text.size()), Text("re:" + text));
  }
  void Bind(const std::string& id, const std::string& phone, const std::string& networks) {
    std::string bad;
    ASSERT_TRUE(CTunnelTable::Instance().SetBinding({id, phone, networks}, bad)) << bad;
  }
};

struct NetworkCase {
  const char* allowed;
  const char* source;
  bool admitted;
};

TEST_F(AdmissionTest, OnlyTheAllowedNetworksMayConnect) {
  const NetworkCase cases[] = {
      {"", "127.0.0.2", true},                       // empty: every address
      {"127.0.0.2", "127.0.0.2", true},              // a bare address is a /32
      {"127.0.0.2", "127.0.0.3", false},
      {"10.0.0.0/8, 127.0.0.0/30", "127.0.0.3", true},
      {"10.0.0.0/8,127.0.0.0/31", "127.0.0.2", false},
  };
  Configure({"00000001"});
  Lines lines;
  const std::uint64_t refusals = center.Refusals(RefusalReason::Network);
  for (const NetworkCase& c : cases) {
    SCOPED_TRACE(std::string(c.allowed) + " from " + c.source);
    SettingInfo settings = Settings();
    settings.AllowedNetworks = c.allowed;
    ReplaceSettings(settings);
    const std::size_t events = DeviceEvents("00000001").size();
    auto device = From(c.source);
    if (c.admitted) {
      SendChunk(*device, Registration(1));
      Forwards(*device, "in");
      device.reset();
      ASSERT_TRUE(WaitFor([&] {
        const auto now = DeviceEvents("00000001");
        return now.size() > events && now.back().kind == DATA_OFFLINE;
      }));
    } else {
      // Closed at once: nothing read, no record, no event.
      EXPECT_TRUE(device->WaitClosed());
      EXPECT_EQ(DeviceEvents("00000001").size(), events);
      EXPECT_TRUE(lines.Wait(std::string("connection from ") + c.source));
    }
  }
  EXPECT_EQ(center.Refusals(RefusalReason::Network) - refusals, 2u);
}

struct BindingCase {
  const char* name;
  const char* boundPhone;
  const char* boundNetworks;
  const char* source;      // of the second registration
  const char* phone;       // of the second registration
  const char* failedCheck; // empty: it takes over the tunnel
};

TEST_F(AdmissionTest, ARegistrationThatFailsItsBindingLeavesTheLiveDeviceAlone) {
  const BindingCase cases[] = {
      {"wrong phone", "13912345678", "", "127.0.0.2", "13000000000", "phone number"},
      {"right phone", "13912345678", "", "127.0.0.2", "13912345678", ""},
      {"outside the bound network", "", "127.0.0.1/32", "127.0.0.2", "13912345678", "networks"},
      {"inside the bound network", "", "127.0.0.0/30", "127.0.0.3", "13912345678", ""},
      {"both bound, network wrong", "13912345678", "127.0.0.1", "127.0.0.3", "13912345678", "networks"},
  };
  Configure({"00000009"});
  Lines lines;
  const std::uint64_t refusals = center.Refusals(RefusalReason::Binding);
  for (const BindingCase& c : cases) {
    SCOPED_TRACE(c.name);
    Bind("00000009", c.boundPhone, c.boundNetworks);
    auto live = OnlineFrom("127.0.0.1", 9);
    const std::size_t events = DeviceEvents("00000009").size();
    auto second = From(c.source);
    ASSERT_TRUE(second->Send(Concat({Registration(9, c.phone), Text("forged")})));
    if (*c.failedCheck != '\0') {
      EXPECT_TRUE(second->WaitClosed());
      EXPECT_TRUE(lines.Wait(std::string("device 00000009 refused: registration from ") + c.source));
      EXPECT_NE(lines.Text().find(std::string("phone \"") + c.phone + "\""), std::string::npos);
      EXPECT_NE(lines.Text().find(c.failedCheck), std::string::npos);
      // Not reported offline, and it keeps forwarding both ways; "forged" went nowhere.
      Forwards(*live, "still mine");
      ASSERT_TRUE(WaitFor([&] { return DeviceEvents("00000009").size() > events; }));
      const auto after = DeviceEvents("00000009");
      EXPECT_TRUE(std::none_of(after.begin() + static_cast<long>(events), after.end(),
                               [](const Told& t) { return t.kind == DATA_OFFLINE || t.kind == DATA_REGISTER; }));
    } else {
      EXPECT_EQ(local->Read(6), Text("forged"));
      EXPECT_TRUE(live->WaitClosed());
      Forwards(*second, "taken over");
    }
    live.reset();
    second.reset();
    // Every offline reported, so that none of this case's arrives during the next one.
    ASSERT_TRUE(WaitFor([&] { return Count("00000009", DATA_OFFLINE) == Count("00000009", DATA_REGISTER); }));
  }
  EXPECT_EQ(center.Refusals(RefusalReason::Binding) - refusals, 3u);
}

TEST_F(AdmissionTest, UnconfiguredDevicesAreRefusedOnlyWhenAsked) {
  Configure({"00000001"});
  Lines lines;
  const std::uint64_t refusals = center.Refusals(RefusalReason::Unconfigured);
  auto stranger = OnlineFrom("127.0.0.2", 0xBAD);  // listed, as before
  SettingInfo settings = Settings();
  settings.RefuseUnconfigured = true;
  ReplaceSettings(settings);
  auto refused = From("127.0.0.2");
  ASSERT_TRUE(refused->Send(Registration(0xBAD2)));
  EXPECT_TRUE(refused->WaitClosed());
  EXPECT_TRUE(lines.Wait("device 0000BAD2 refused"));
  EXPECT_TRUE(DeviceEvents("0000BAD2").empty());
  auto known = OnlineFrom("127.0.0.2", 1);
  Forwards(*known, "configured");
  EXPECT_EQ(center.Refusals(RefusalReason::Unconfigured) - refusals, 1u);
}

TEST_F(AdmissionTest, ConnectionsBeyondTheCapPerAddressAreClosedAtAccept) {
  Configure({"00000001", "00000002", "00000003"});
  SettingInfo settings = Settings();
  settings.MaxConnectionsPerAddress = 2;
  ReplaceSettings(settings);
  Lines lines;
  const std::uint64_t refusals = center.Refusals(RefusalReason::PerAddressCap);
  auto first = OnlineFrom("127.0.0.2", 1);
  auto second = OnlineFrom("127.0.0.2", 2);
  auto third = From("127.0.0.2");
  EXPECT_TRUE(third->WaitClosed());
  EXPECT_TRUE(lines.Wait("connection from 127.0.0.2"));
  auto other = OnlineFrom("127.0.0.3", 3);  // another address has its own count
  Forwards(*other, "other");
  first.reset();
  ASSERT_TRUE(WaitFor([&] { return DeviceEvents("00000001").size() == 2; }));
  auto again = OnlineFrom("127.0.0.2", 1);
  Forwards(*again, "room again");
  EXPECT_EQ(center.Refusals(RefusalReason::PerAddressCap) - refusals, 1u);
}

// An address whose registrations keep failing their bindings is refused at accept for a
// while; what is connected from it stays.
TEST_F(AdmissionTest, AnAddressThatKeepsFailingItsBindingsIsThrottled) {
  server.reset();
  CAdmission::Limits limits;
  limits.ThrottleRefusals = 3;
  limits.ThrottleWindow = std::chrono::seconds(30);
  limits.ThrottleFor = std::chrono::milliseconds(700);
  server = std::make_unique<ObservedTcpServer>(std::chrono::seconds(60), limits);
  server->SetNotifyWindow(list.Handle());
  Configure({"00000005", "00000006"});
  Bind("00000005", "13912345678", "");
  Lines lines;
  const std::uint64_t refusals = center.Refusals(RefusalReason::Throttled);
  auto resident = OnlineFrom("127.0.0.2", 6);
  for (int attempt = 0; attempt < 3; ++attempt) {
    auto guess = From("127.0.0.2");
    ASSERT_TRUE(guess->Send(Registration(5, "13000000000")));
    EXPECT_TRUE(guess->WaitClosed());
  }
  EXPECT_TRUE(lines.Wait("refusing every connection from 127.0.0.2"));
  auto refused = From("127.0.0.2");
  EXPECT_TRUE(refused->WaitClosed());
  Forwards(*resident, "left alone");
  EXPECT_TRUE(lines.Wait("connections from 127.0.0.2 are accepted again"));
  auto later = OnlineFrom("127.0.0.2", 5);
  Forwards(*later, "welcome back");
  EXPECT_EQ(center.Refusals(RefusalReason::Throttled) - refusals, 1u);
}

}  // namespace
