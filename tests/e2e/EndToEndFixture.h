#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ObservedTcpServer.h"
#include "RecordingTarget.h"
#include "SerialFixture.h"
#include "TestDevice.h"
#include "core/CDataCenter.h"
#include "model/SettingInfo.h"
#include "platform/CNullModemPair.h"
#include "serial/CSerialInterface.h"

// What the device list was told, copied during the call.
struct Told {
  unsigned message = 0;
  WPARAM code = 0;
  std::string id;  // the record's device ID
  int kind = -1;   // the record's kind
  Bytes data;      // the record's bytes
  std::string port;  // the port name of an open report
};

// The whole forwarding path: the data center, the serial port manager with COM3 on a
// virtual null-modem pair whose other end the test drives as the local serial software,
// and the link handler on a free loopback port; a recording target stands in for the
// device list (the owner of the serial manager and the receiver of every report).
class EndToEndTest : public ::testing::Test {
 protected:
  // Posted to the list: its thread waits until the std::shared_future<void> that lParam
  // points to is ready, as a slow user-interface thread would. Meanwhile the test must
  // not look at the list's messages.
  static constexpr unsigned kHoldList = WM_USER + 900;

  void SetUp() override;
  void TearDown() override;

  // Configures the devices on COM3 with these settings (idle wait 0 unless told) and
  // opens the port.
  void Configure(const std::vector<std::string>& ids, SettingInfo settings = Settings());
  static SettingInfo Settings();

  std::unique_ptr<TestDevice> Connect();
  // Connects and registers the device number, waiting until the list knows it.
  std::unique_ptr<TestDevice> Online(std::uint32_t number);
  // Sends one chunk and waits until the server has handled it, so that the next chunk
  // arrives as a chunk of its own.
  void SendChunk(TestDevice& device, const Bytes& data);

  std::vector<Told> Messages(unsigned message);
  // The records the list was told about for one device.
  std::vector<Told> DeviceEvents(const std::string& id);
  // Waits until `condition` holds for the messages of a kind; returns them.
  std::vector<Told> WaitMessages(unsigned message, const std::function<bool(const std::vector<Told>&)>& condition);

  CDataCenter& center = CDataCenter::Instance();
  TempPortDir dir;
  CNullModemPair pair;
  std::optional<LocalEnd> local;
  RecordingTarget<Told> list{&Copy};
  std::unique_ptr<CSerialInterface> serial;
  std::unique_ptr<ObservedTcpServer> server;

 private:
  static Told Copy(unsigned message, WPARAM code, LPARAM lParam);
};
