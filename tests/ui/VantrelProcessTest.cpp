#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "AppProcess.h"
#include "FreePort.h"
#include "SerialFixture.h"
#include "TempDir.h"
#include "TestDevice.h"
#include "platform/CNullModemPair.h"

namespace {

// The desktop program on the offscreen platform, with its own application directory.
class Vantrel : public AppProcess {
 public:
  explicit Vantrel(const std::string& appDir)
      : AppProcess(VANTREL_PROGRAM, appDir, {{"QT_QPA_PLATFORM", "offscreen"}}) {}
};

// vantreld's commands set up the same Info.db.
class Vantreld : public AppProcess {
 public:
  explicit Vantreld(const std::string& appDir) : AppProcess(VANTRELD_PROGRAM, appDir, {}) {}
};

// A device registered with the service on `port`, once the service accepts.
std::unique_ptr<TestDevice> RegisteredDevice(std::uint16_t port, std::uint32_t number) {
  std::unique_ptr<TestDevice> device;
  WaitFor([&] {
    device = std::make_unique<TestDevice>(port);
    return device->IsOpen();
  });
  if (!device->IsOpen() || !device->Send(Registration(number))) return nullptr;
  return device;
}

bool Accepts(std::uint16_t port) { return TestDevice(port).IsOpen(); }

// What `vantreld status` says of the instance of `appDir`, or why it could not.
std::string StatusOf(const std::string& appDir) {
  const TempDir own;
  Vantreld status(own.Path());
  const int code = status.Run("--app-dir " + appDir + " status");
  return code == 0 ? status.Output() : "exit code " + std::to_string(code) + ": " + status.Errors();
}

TEST(VantrelProcess, AutoStartsForwardsBothWaysAndEndsOnSigtermWithZero) {
  TempDir dir;
  const std::string ports = dir.Path() + "/ports";
  std::filesystem::create_directories(ports);
  CNullModemPair pair;
  ASSERT_TRUE(pair.Create() && pair.Link(ports, "COM5", "COM5_FF"));
  const std::uint16_t port = FreePort();
  Vantreld setup(dir.Path());
  ASSERT_EQ(0, setup.Run("settings set --ip 127.0.0.1 --port " + std::to_string(port) + " --auto-start on"));
  ASSERT_EQ(0, setup.Run("tunnel add 00000001 --port COM5"));

  Vantrel vantrel(dir.Path());
  vantrel.Start();
  std::unique_ptr<TestDevice> device = RegisteredDevice(port, 1);
  ASSERT_NE(nullptr, device) << vantrel.Errors();
  LocalEnd local(ports + "/COM5_FF");
  ASSERT_TRUE(device->Send(Text("to the port")));
  EXPECT_EQ(Text("to the port"), local.Read(11));
  ASSERT_TRUE(local.Write(Text("to the device")));
  EXPECT_EQ(Text("to the device"), device->Read(13));

  Vantrel second(dir.Path());
  EXPECT_EQ(1, second.Run(""));
  EXPECT_NE(std::string::npos, second.Errors().find("another instance")) << second.Errors();

  vantrel.Signal(SIGTERM);
  EXPECT_EQ(0, vantrel.WaitForExit()) << vantrel.Errors();
  EXPECT_FALSE(Accepts(port));
}

TEST(VantrelProcess, AShutdownSignalStopsTheServiceAndTheProgramStays) {
  TempDir dir;
  const std::uint16_t port = FreePort();
  Vantreld setup(dir.Path());
  ASSERT_EQ(0, setup.Run("settings set --ip 127.0.0.1 --port " + std::to_string(port) + " --auto-start on"));
  Vantrel none(dir.Path());
  EXPECT_EQ(1, none.Run("--signal SockoraServerShutdown")) << "no instance runs there";
  EXPECT_EQ(2, none.Run("--signal NoSuchEvent"));

  Vantrel vantrel(dir.Path());
  vantrel.Start();
  ASSERT_TRUE(WaitFor([&] { return Accepts(port); })) << vantrel.Errors();
  // The desktop program answers `vantreld status` as the service does.
  const std::string running = StatusOf(dir.Path());
  EXPECT_NE(std::string::npos, running.find("Service:   running")) << running;
  Vantrel signal(dir.Path());
  EXPECT_EQ(0, signal.Run("--signal SockoraServerShutdown")) << signal.Errors();
  EXPECT_TRUE(WaitFor([&] { return !Accepts(port); }));
  std::string stopped;
  EXPECT_TRUE(WaitFor([&] { return (stopped = StatusOf(dir.Path())).find("Service:   stopped") != std::string::npos; }))
      << stopped;
  // Still running: a second instance is refused.
  EXPECT_EQ(1, Vantrel(dir.Path()).Run(""));
  vantrel.Signal(SIGINT);
  EXPECT_EQ(0, vantrel.WaitForExit()) << vantrel.Errors();
}

}  // namespace
