#include "EndToEndFixture.h"

#include <future>

#include "ProcessSingletons.h"
#include "WaitFor.h"
#include "core/CTunnelTable.h"
#include "model/ReportedItem.h"
#include "model/WindowMessages.h"

Told EndToEndTest::Copy(unsigned message, WPARAM code, LPARAM lParam) {
  Told told;
  told.message = message;
  told.code = code;
  if (message == kHoldList) {
    reinterpret_cast<const std::shared_future<void>*>(lParam)->wait();
  } else if (message == WM_SERIAL_STATUS && (code == SERIAL_OPENED || code == SERIAL_OPEN_FAILED)) {
    told.port = reinterpret_cast<const char*>(lParam);
  } else if (message == WM_SERIAL_STATUS || message == WM_DEVICE_EVENT || message == WM_TCP_STATUS) {
    const auto* item = reinterpret_cast<const ReportedItem*>(lParam);
    told.id = DeviceIdOf(*item);
    told.kind = item->Kind;
    told.data.assign(item->Data.begin(), item->Data.end());
  }
  return told;
}

void EndToEndTest::SetUp() {
  ResetProcessSingletons();
  ReplaceSettings(Settings());
  center.SetNotifyWindow(list.Handle());
  ASSERT_TRUE(pair.Create()) << pair.LastError();
  ASSERT_TRUE(pair.Link(dir.Path(), "COM3", ""));
  local.emplace(pair.PathB());
  serial = std::make_unique<CSerialInterface>(50);
  serial->SetOwner(list.Handle());
  server = std::make_unique<ObservedTcpServer>();
  server->SetNotifyWindow(list.Handle());
  ASSERT_NE(server->Port(), 0);
}

void EndToEndTest::TearDown() {
  server.reset();
  serial.reset();
  center.SetNotifyWindow(0);
  ResetProcessSingletons();
}

SettingInfo EndToEndTest::Settings() {
  SettingInfo settings;
  settings.DelayComRead = 0;
  return settings;
}

void EndToEndTest::Configure(const std::vector<std::string>& ids, SettingInfo settings) {
  ReplaceSettings(settings);
  for (const std::string& id : ids) CTunnelTable::Instance().Add(TunnelInfo{id, "COM3", "9600", "8", "1", "None", ""});
  serial->OpenAllPorts();
  ASSERT_TRUE(serial->IsPortOpen("COM3"));
}

std::unique_ptr<TestDevice> EndToEndTest::Connect() {
  auto device = std::make_unique<TestDevice>(server->Port());
  EXPECT_TRUE(device->IsOpen());
  return device;
}

std::unique_ptr<TestDevice> EndToEndTest::Online(std::uint32_t number) {
  auto device = Connect();
  char id[9];
  std::snprintf(id, sizeof id, "%08X", number);
  const std::size_t before = DeviceEvents(id).size();
  SendChunk(*device, Registration(number));
  EXPECT_TRUE(WaitFor([&] { return DeviceEvents(id).size() > before; })) << id << " never came online";
  return device;
}

void EndToEndTest::SendChunk(TestDevice& device, const Bytes& data) {
  const std::uint64_t before = server->BytesRead();
  ASSERT_TRUE(device.Send(data));
  ASSERT_TRUE(WaitFor([&] { return server->BytesRead() >= before + data.size(); }));
}

std::vector<Told> EndToEndTest::Messages(unsigned message) {
  std::vector<Told> found;
  for (const auto& sent : list.Messages())
    if (sent.message == message) found.push_back(sent.copy);
  return found;
}

std::vector<Told> EndToEndTest::DeviceEvents(const std::string& id) {
  std::vector<Told> found;
  for (const Told& told : Messages(WM_DEVICE_EVENT))
    if (told.id == id) found.push_back(told);
  return found;
}

std::vector<Told> EndToEndTest::WaitMessages(unsigned message,
                                             const std::function<bool(const std::vector<Told>&)>& condition) {
  std::vector<Told> found;
  EXPECT_TRUE(WaitFor([&] {
    found = Messages(message);
    return condition(found);
  }));
  return found;
}
