// The desktop program's side of certificate settings that cannot be used: the service host
// both programs run does not start, listens nowhere, and the box it raises (the desktop's
// message box; vantreld's stderr) says why.
#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "FreePort.h"
#include "ProcessSingletons.h"
#include "ServiceSetup.h"
#include "TempDir.h"
#include "TestCertificates.h"
#include "TestDevice.h"
#include "WaitFor.h"
#include "model/SettingInfo.h"
#include "model/WindowMessages.h"
#include "platform/CMessageQueue.h"
#include "platform/Notice.h"
#include "resources/ResourceIds.h"
#include "service/CDlgSimulation.h"

namespace {

class ServiceHostTlsTest : public ::testing::Test {
 protected:
  // Made once: the openssl program takes a while for each key.
  static void SetUpTestSuite() { certificates = std::make_unique<TestCertificates>(); }
  static void TearDownTestSuite() { certificates.reset(); }

  void SetUp() override {
    ASSERT_EQ(certificates->Problem(), "");
    ResetProcessSingletons();
    SetNoticeHook([this](const std::string& text, const std::string&, int) {
      std::lock_guard lock(m_mutex);
      m_notices.push_back(text);
      return IDNO;
    });
    m_simulation.SetMainWindow(m_mainWindow.Handle());
  }

  void TearDown() override {
    m_simulation.StopService();
    SetNoticeHook(nullptr);
    ResetProcessSingletons();
  }

  // Handles this thread's messages (it is the user-interface thread) until `condition`.
  template <typename Condition>
  bool PumpUntil(Condition condition) {
    return WaitFor([&] {
      CMessageQueue::ForThisThread()->ProcessAll();
      return condition();
    });
  }

  std::vector<std::string> Notices() {
    std::lock_guard lock(m_mutex);
    return m_notices;
  }

  static std::unique_ptr<TestCertificates> certificates;
  TempPortDir m_portDir;
  std::mutex m_mutex;
  std::vector<std::string> m_notices;
  CMessageTarget m_mainWindow{[this](unsigned message, WPARAM wParam, LPARAM) -> LRESULT {
    if (message == WM_COMMAND && wParam == ID_SIM_STOP) m_simulation.StopService();
    return 0;
  }};
  CDlgSimulation m_simulation{200};
};

std::unique_ptr<TestCertificates> ServiceHostTlsTest::certificates;

TEST_F(ServiceHostTlsTest, CertificateFilesThatCannotBeUsedFailTheStartWithTheReason) {
  const TempDir files;
  files.Write("garbage.pem", "not a certificate\n");
  const std::string garbage = files.File("garbage.pem");
  struct Case {
    const char* name;
    std::string certificate, key, clientCa;
    std::string reason;
  };
  const std::string server = certificates->File("server.pem"), key = certificates->File("server.key");
  const std::vector<Case> cases = {
      {"a missing certificate file", files.File("missing.pem"), key, "", "cannot read the TLS certificate file "},
      {"a certificate file without a certificate", garbage, key, "", "garbage.pem holds no usable PEM certificate"},
      {"the key of another certificate", server, certificates->File("stranger-server.key"), "",
       "stranger-server.key does not belong to the certificate"},
      {"a client CA file that does not parse", server, key, garbage, "the TLS client CA file "},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.name);
    const std::uint16_t port = FreePort(), tlsPort = FreePort();
    SettingInfo settings;
    settings.LocalIp = "127.0.0.1";
    settings.LocalPort = port;
    settings.TlsPort = tlsPort;
    settings.TlsCertificate = row.certificate;
    settings.TlsKey = row.key;
    settings.TlsClientCa = row.clientCa;
    ReplaceSettings(settings);
    const std::size_t before = Notices().size();
    m_simulation.StartService();
    ASSERT_TRUE(PumpUntil([&] { return Notices().size() > before && !m_simulation.ServiceRunning(); }));
    EXPECT_NE(Notices().back().find(row.reason), std::string::npos) << Notices().back();
    EXPECT_FALSE(TestDevice(port).IsOpen());
    EXPECT_FALSE(TestDevice(tlsPort).IsOpen());
  }
}

}  // namespace
