// vantrel-devsim as a TLS device of vantreld, both as processes: the service's certificate,
// key and client CA from its settings, the device's certificate named for its ID, the serial
// software on the far end of a pty pair linked as COM5.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "FreePort.h"
#include "SerialFixture.h"
#include "TempDir.h"
#include "TestCertificates.h"
#include "Vantreld.h"
#include "WaitFor.h"
#include "platform/CNullModemPair.h"

namespace {

class VantreldTlsDevsimTest : public ::testing::Test {
 protected:
  // Made once: the openssl program takes a while for each key.
  static void SetUpTestSuite() { certificates = std::make_unique<TestCertificates>(); }
  static void TearDownTestSuite() { certificates.reset(); }

  void SetUp() override {
    ASSERT_EQ(certificates->Problem(), "");
    std::filesystem::create_directory(dir.File("ports"));
    ASSERT_TRUE(pair.Create()) << pair.LastError();
    ASSERT_TRUE(pair.Link(dir.File("ports"), "COM5", ""));
    local.emplace(pair.PathB());
    ASSERT_EQ(vantreld.Run("settings set --ip 127.0.0.1 --port " + std::to_string(FreePort()) +
                           " --delay 0 --tls-port " + std::to_string(tlsPort) + " --tls-cert " + certificates->File("server.pem") +
                           " --tls-key " + certificates->File("server.key") + " --tls-client-ca " +
                           certificates->File("ca.pem")),
              0)
        << vantreld.Errors();
    for (const char* id : {"00000001", "00000002"})
      ASSERT_EQ(vantreld.Run(std::string("tunnel add ") + id + " --port COM5"), 0) << vantreld.Errors();
    vantreld.Start();
    ASSERT_TRUE(WaitFor([&] { return vantreld.Output().find(kStarted) != std::string::npos; })) << vantreld.Errors();
  }

  // Quoted for the shell.
  static std::string File(const std::string& name) { return "'" + certificates->File(name) + "'"; }

  // The simulator started in the background as device `id` with 00000001's certificate.
  FILE* StartDevsim(const std::string& id, const std::string& arguments) const {
    const std::string command = std::string("timeout 90 '") + VANTREL_DEVSIM + "' --port " + std::to_string(tlsPort) +
                                " --tls --ca " + File("ca.pem") + " --cert " + File("00000001.pem") + " --key " +
                                File("00000001.key") + " --first-id " + id + " " + arguments + " 2>&1";
    return ::popen(command.c_str(), "r");
  }

  // Waits for the simulator's end: its exit code and everything it printed.
  static std::pair<int, std::string> Finish(FILE* devsim) {
    std::string output;
    char buffer[4096];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, devsim)) > 0;) output.append(buffer, got);
    const int status = ::pclose(devsim);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
  }

  static std::unique_ptr<TestCertificates> certificates;
  TempDir dir;
  Vantreld vantreld{dir.Path()};
  const std::uint16_t tlsPort = FreePort();
  CNullModemPair pair;
  std::optional<LocalEnd> local;
};

std::unique_ptr<TestCertificates> VantreldTlsDevsimTest::certificates;

// A certificate issued to 00000001 does not make its holder device 00000002; with it, device
// 00000001 forwards both ways. The serial software echoes, so the simulator's check passes
// only when its bytes went to the port and back over TLS, and the first bytes at the port
// are 00000001's: nothing of the refused device got there.
TEST_F(VantreldTlsDevsimTest, ACertificateServesTheDeviceItNamesOnly) {
  FILE* stranger = StartDevsim("00000002", "--text 'not mine' --linger 1");
  ASSERT_NE(stranger, nullptr);
  const std::string refused = Finish(stranger).second;
  EXPECT_NE(refused.find("[00000002] the server closed the connection"), std::string::npos) << refused;
  EXPECT_TRUE(WaitFor([&] {
    const std::string errors = vantreld.Errors();
    return errors.find("00000002") != std::string::npos && errors.find("\"00000001\"") != std::string::npos;
  })) << vantreld.Errors();
  EXPECT_EQ(vantreld.Output().find("Device 00000002 registered"), std::string::npos) << vantreld.Output();

  FILE* device = StartDevsim("00000001", "--check --text 'over tls'");
  ASSERT_NE(device, nullptr);
  const Bytes sent = local->Read(8);
  EXPECT_EQ(sent, Text("over tls"));
  ASSERT_TRUE(local->Write(sent));
  const auto [exitCode, output] = Finish(device);
  EXPECT_EQ(exitCode, 0) << output;
  EXPECT_NE(output.find("server certificate CN=\"vantrel.example.com\" verified"), std::string::npos) << output;
  EXPECT_NE(output.find("check: 0 bytes differed, 0 bytes never came back"), std::string::npos) << output;
  EXPECT_NE(vantreld.Output().find("Device 00000001 registered"), std::string::npos) << vantreld.Output();
}

}  // namespace
