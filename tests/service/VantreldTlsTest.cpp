// Encrypted device links as devices and operators meet them: vantreld as a process with
// its own application directory and certificates, devices on real TLS and plain
// connections, the serial software on the far end of a real pty pair linked as COM5.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "../storage/SqliteFile.h"
#include "FreePort.h"
#include "SerialFixture.h"
#include "TempDir.h"
#include "TestDevice.h"
#include "TlsTestKit.h"
#include "Vantreld.h"
#include "WaitFor.h"
#include "platform/CNullModemPair.h"

namespace {

using tls_test::kDay;
using tls_test::TlsDevice;

class VantreldTlsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directory(dir.File("ports"));
    ASSERT_TRUE(pair.Create()) << pair.LastError();
    ASSERT_TRUE(pair.Link(dir.File("ports"), "COM5", ""));
    local.emplace(pair.PathB());
    // The device certificates: two of this CA, one of another CA, one that has expired.
    const tls_test::Identity ca = tls_test::MakeCa("Vantrel test CA");
    const tls_test::Identity stranger = tls_test::MakeCa("Another CA");
    tls_test::WriteIdentity(ca, dir.File("ca"));
    tls_test::WriteIdentity(tls_test::MakeIdentity("127.0.0.1", &ca, -kDay, 365 * kDay), dir.File("server"));
    tls_test::WriteIdentity(tls_test::MakeIdentity("00000001", &ca, -kDay, 365 * kDay), dir.File("device1"));
    tls_test::WriteIdentity(tls_test::MakeIdentity("0000000a", &ca, -kDay, 365 * kDay), dir.File("device10"));
    tls_test::WriteIdentity(tls_test::MakeIdentity("00000001", &stranger, -kDay, 365 * kDay), dir.File("stranger1"));
    tls_test::WriteIdentity(tls_test::MakeIdentity("00000001", &ca, -10 * kDay, -kDay), dir.File("expired1"));
    tls_test::WriteIdentity(tls_test::MakeIdentity("127.0.0.1", &ca, -kDay, 10 * kDay), dir.File("ending"));
  }

  // The plain settings and a tunnel on COM5 for each device number, then the TLS keys
  // straight into the stored settings (paths relative to the application directory).
  void Configure(const std::map<std::string, std::string>& tls, const std::vector<std::uint32_t>& numbers) {
    ASSERT_EQ(vantreld.Run("settings set --ip 127.0.0.1 --port " + std::to_string(port) + " --delay 0"), 0)
        << vantreld.Errors();
    for (const std::uint32_t number : numbers) {
      char id[9];
      std::snprintf(id, sizeof id, "%08X", number);
      ASSERT_EQ(vantreld.Run(std::string("tunnel add ") + id + " --port COM5"), 0) << vantreld.Errors();
    }
    SqliteFile db(dir.File("Info.db"));
    for (const auto& [key, value] : tls) {
      db.Exec("DELETE FROM TabSetting WHERE ParamKey = '" + key + "'");
      db.Exec("INSERT INTO TabSetting VALUES ('" + key + "', '" + value + "')");
    }
  }

  std::map<std::string, std::string> TlsSettings(bool clientCa = true) {
    std::map<std::string, std::string> settings{
        {"TlsPort", std::to_string(tlsPort)}, {"TlsCertificate", "server.pem"}, {"TlsKey", "server.key"}};
    if (clientCa) settings["TlsClientCa"] = dir.File("ca.pem");
    return settings;
  }

  void Start(const std::string& arguments = "") {
    vantreld.Start(arguments);
    ASSERT_TRUE(WaitFor([&] { return vantreld.Output().find(kStarted) != std::string::npos; }))
        << vantreld.Output() << vantreld.Errors();
  }

  bool ErrorsSay(const std::string& text) {
    return WaitFor([&] { return vantreld.Errors().find(text) != std::string::npos; });
  }

  std::unique_ptr<TlsDevice> Tls(const std::string& certificate) {
    return std::make_unique<TlsDevice>(tlsPort, dir.File("ca.pem"), certificate.empty() ? "" : dir.File(certificate));
  }

  TempDir dir;
  Vantreld vantreld{dir.Path()};
  const std::uint16_t port = FreePort();
  const std::uint16_t tlsPort = FreePort();
  CNullModemPair pair;
  std::optional<LocalEnd> local;
};

Bytes Pattern(std::size_t size, unsigned seed) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<unsigned char>((i * 31 + seed) % 251);
  return bytes;
}

// A TLS device is a device: beside a plain one on the same port, its data reaches the port
// whole (more than one TLS record and one receive at a time) and the port's reaches both.
// The monitor's lines mark the TLS link's channel only.
TEST_F(VantreldTlsTest, TlsAndPlainDevicesOnOnePortForwardBothWays) {
  Configure(TlsSettings(), {1, 2});
  Start("--monitor");
  const std::unique_ptr<TlsDevice> secure = Tls("device1");
  ASSERT_TRUE(secure->Connected());
  ASSERT_TRUE(secure->Send(Registration(1)));
  ASSERT_TRUE(WaitRegistered(*local, *secure));
  TestDevice plain(port);
  ASSERT_TRUE(plain.Send(Registration(2)));
  ASSERT_TRUE(WaitRegistered(*local, plain));
  // What the registrations made them read.
  secure->Read(1000, std::chrono::milliseconds(300));
  plain.Read(1000, std::chrono::milliseconds(300));

  const Bytes fromTls = Pattern(60000, 1);
  ASSERT_TRUE(secure->Send(fromTls));
  EXPECT_EQ(local->Read(fromTls.size()), fromTls);
  ASSERT_TRUE(plain.Send(Text("plain reading")));
  EXPECT_EQ(local->Read(13), Text("plain reading"));

  const Bytes toDevices = Pattern(20000, 7);
  ASSERT_TRUE(local->Write(toDevices));
  EXPECT_EQ(secure->Read(toDevices.size()), toDevices);
  EXPECT_EQ(plain.Read(toDevices.size()), toDevices);

  EXPECT_TRUE(WaitFor([&] {
    const std::string output = vantreld.Output();
    return output.find("Device 00000001 registered over TLS from 127.0.0.1:") != std::string::npos &&
           output.find("Device 00000002 registered from 127.0.0.1:") != std::string::npos;
  })) << vantreld.Output();
  for (const char* line : {"  Tcp->Com  [00000001] <-> [COM5] (TLS)  User Data  ",
                           "  Com->Tcp  [00000001] <-> [COM5] (TLS)  User Data  ",
                           "  Tcp->Com  [00000002] <-> [COM5]  User Data  plain reading  ",
                           "  Com->Tcp  [00000002] <-> [COM5]  User Data  "}) {
    EXPECT_TRUE(WaitFor([&] { return vantreld.Output().find(line) != std::string::npos; })) << line;
  }

  // `vantreld status` tells the links and the listeners apart.
  const TempDir own;
  Vantreld client(own.Path());
  ASSERT_EQ(client.Run("--app-dir " + dir.Path() + " status --json"), 0) << client.Errors();
  const nlohmann::json status = nlohmann::json::parse(client.Output());
  EXPECT_EQ(status["devices"][0]["tls"], true) << status["devices"];
  EXPECT_EQ(status["devices"][1]["tls"], false) << status["devices"];
  EXPECT_EQ(status["listeners"][1], nlohmann::json::parse("{\"address\":\"127.0.0.1\",\"port\":" +
                                                          std::to_string(tlsPort) + ",\"tls\":true}"))
      << status["listeners"];
}

// Another TLS stack, Python's ssl module, as the device: it registers over TLS, its bytes
// reach the port, and what the port sends it comes back through it to the port.
TEST_F(VantreldTlsTest, APythonSslDeviceForwardsBothWays) {
  Configure(TlsSettings(), {1});
  Start();
  const TempDir own;
  AppProcess python(PYTHON3_PROGRAM, own.Path(), {});
  const Bytes toDevice = Pattern(20000, 3);
  python.Start(std::string(VANTREL_SOURCE_DIR) + "/tests/service/TlsPythonDevice.py " + std::to_string(tlsPort) + " " +
               dir.File("ca.pem") + " " + dir.File("device1.pem") + " " + dir.File("device1.key") +
               " 1 hello-from-python " + std::to_string(toDevice.size()));
  EXPECT_EQ(local->Read(17), Text("hello-from-python")) << python.Errors() << vantreld.Errors();
  ASSERT_TRUE(local->Write(toDevice));
  EXPECT_EQ(local->Read(toDevice.size()), toDevice);
  EXPECT_EQ(python.WaitForExit(), 0) << python.Errors();
  EXPECT_NE(python.Output().find("echoed 20000 bytes"), std::string::npos) << python.Output();
  EXPECT_NE(vantreld.Output().find("Device 00000001 registered over TLS from 127.0.0.1:"), std::string::npos)
      << vantreld.Output();
}

// A device configured with the plain port's protocol on the TLS port: closed, and told.
TEST_F(VantreldTlsTest, PlainBytesOnTheTlsPortAreClosedWithALine) {
  Configure(TlsSettings(), {1});
  Start();
  TestDevice device(tlsPort);
  ASSERT_TRUE(device.Send(Registration(1)));
  EXPECT_TRUE(device.WaitClosed());
  EXPECT_TRUE(ErrorsSay("TLS connection from 127.0.0.1:")) << vantreld.Errors();
  EXPECT_TRUE(ErrorsSay("refused (not-tls): its first bytes are not a TLS handshake")) << vantreld.Errors();
}

// With a client CA, only a valid certificate from it opens a TLS link.
TEST_F(VantreldTlsTest, CertificatesTheClientCaDoesNotVouchForAreRefused) {
  struct Case {
    const char* name;
    const char* certificate;  // empty: none shown
    const char* reason;
  };
  const std::vector<Case> cases = {
      {"a certificate from another CA", "stranger1", "client certificate refused: unable to get local issuer certificate"},
      {"an expired certificate", "expired1", "client certificate refused: certificate has expired"},
      {"no certificate", "", "peer did not return a certificate"},
  };
  Configure(TlsSettings(), {1});
  Start();
  for (const Case& row : cases) {
    SCOPED_TRACE(row.name);
    const std::unique_ptr<TlsDevice> device = Tls(row.certificate);
    // With TLS 1.3 the client's side may finish before the server refuses.
    if (device->Connected()) device->Send(Registration(1));
    EXPECT_TRUE(device->WaitClosed());
    EXPECT_TRUE(ErrorsSay(std::string("refused (certificate): ") + row.reason)) << vantreld.Errors();
  }
  // None of them registered: the port has no device to give its bytes to.
  EXPECT_EQ(vantreld.Output().find("Device 00000001 registered"), std::string::npos) << vantreld.Output();
}

// The certificate is the device's identity: device 0000000A's cannot register device 1,
// and the live device 1 keeps its link. A common name matches in any case.
TEST_F(VantreldTlsTest, ACertificateOfAnotherDeviceCannotTakeItsId) {
  Configure(TlsSettings(), {1, 10});
  Start();
  const std::unique_ptr<TlsDevice> live = Tls("device1");
  ASSERT_TRUE(live->Connected());
  ASSERT_TRUE(live->Send(Registration(1)));
  ASSERT_TRUE(WaitRegistered(*local, *live));
  live->Read(1000, std::chrono::milliseconds(300));

  const std::unique_ptr<TlsDevice> impostor = Tls("device10");
  ASSERT_TRUE(impostor->Connected());
  ASSERT_TRUE(impostor->Send(Registration(1)));
  EXPECT_TRUE(impostor->WaitClosed());
  EXPECT_TRUE(ErrorsSay("device 00000001 refused: registration from 127.0.0.1:")) << vantreld.Errors();
  EXPECT_TRUE(ErrorsSay("its TLS certificate is issued to \"0000000a\", not to 00000001")) << vantreld.Errors();

  ASSERT_TRUE(live->Send(Text("still here")));
  EXPECT_EQ(local->Read(10), Text("still here"));
  ASSERT_TRUE(local->Write(Text("and back")));
  EXPECT_EQ(live->Read(8), Text("and back"));
  // Its own ID is its own, whatever the case of its name.
  const std::unique_ptr<TlsDevice> tenth = Tls("device10");
  ASSERT_TRUE(tenth->Send(Registration(10)));
  EXPECT_TRUE(WaitFor([&] { return vantreld.Output().find("Device 0000000A registered over TLS") != std::string::npos; }))
      << vantreld.Output() << vantreld.Errors();
}

// TlsOnly: the plain port is not opened; without a client CA any TLS client may register.
TEST_F(VantreldTlsTest, TlsOnlyOpensNoPlainListener) {
  std::map<std::string, std::string> settings = TlsSettings(false);
  settings["TlsOnly"] = "1";
  Configure(settings, {1});
  Start();
  EXPECT_FALSE(TestDevice(port).IsOpen());
  const std::unique_ptr<TlsDevice> device = Tls("");
  ASSERT_TRUE(device->Connected());
  ASSERT_TRUE(device->Send(Registration(1)));
  EXPECT_TRUE(WaitRegistered(*local, *device));
}

// A certificate that cannot be used fails the start with its reason: devices would
// otherwise meet a service that seems to run.
TEST_F(VantreldTlsTest, CertificateSettingsThatCannotBeUsedFailTheStart) {
  dir.Write("garbage.pem", "not a certificate\n");
  struct Case {
    const char* name;
    std::map<std::string, std::string> settings;
    const char* reason;
  };
  const std::vector<Case> cases = {
      {"a missing certificate file",
       {{"TlsCertificate", "missing.pem"}},
       "cannot read the TLS certificate file "},
      {"a certificate file without a certificate",
       {{"TlsCertificate", "garbage.pem"}},
       "garbage.pem holds no usable PEM certificate"},
      {"a key file without a key", {{"TlsKey", "garbage.pem"}}, "garbage.pem holds no usable PEM private key"},
      {"the key of another certificate", {{"TlsKey", "device1.key"}}, "device1.key does not belong to the certificate"},
      {"a client CA file that does not parse",
       {{"TlsClientCa", "garbage.pem"}},
       "the TLS client CA file "},
      {"a TLS port without a key", {{"TlsKey", ""}}, "a TLS port is set but the server certificate or its key is not"},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.name);
    std::map<std::string, std::string> settings = TlsSettings();
    for (const auto& [key, value] : row.settings) settings[key] = value;
    Configure(settings, {});
    vantreld.Start();
    EXPECT_EQ(vantreld.WaitForExit(), 1);
    EXPECT_NE(vantreld.Errors().find(row.reason), std::string::npos) << vantreld.Errors();
    EXPECT_EQ(vantreld.Output().find(kStarted), std::string::npos) << vantreld.Output();
  }
}

// Renewing is the operator's job: he is told a month ahead, at start and once a day.
TEST_F(VantreldTlsTest, AServerCertificateNearItsEndIsWarnedAboutAtStart) {
  std::map<std::string, std::string> settings = TlsSettings();
  settings["TlsCertificate"] = "ending.pem";
  settings["TlsKey"] = "ending.key";
  Configure(settings, {});
  Start();
  EXPECT_TRUE(ErrorsSay("the TLS server certificate " + dir.File("ending.pem") + " expires on ")) << vantreld.Errors();
  EXPECT_TRUE(ErrorsSay("days): replace it before then")) << vantreld.Errors();
}

}  // namespace
