// Who may be a device, as the operator sets it up: the settings and bindings vantreld reads
// at start and on SIGHUP, and a signal socket that another local user cannot take.
#include <gtest/gtest.h>

#include <pwd.h>
#include <grp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "FreePort.h"
#include "SqliteFile.h"
#include "TempDir.h"
#include "TestDevice.h"
#include "Vantreld.h"

namespace {

constexpr std::uint32_t kBound = 0x0000000A;

// Device kBound registers with `phone` from `source`: true once the service has closed the
// connection.
bool Refused(std::uint16_t port, const char* phone, const char* source = nullptr) {
  TestDevice device(port, source);
  return device.Send(Registration(kBound, phone)) && device.WaitClosed();
}

// Device kBound registers with `phone` from `source`: true once the service tells it
// registered on its port.
bool Admitted(Vantreld& vantreld, std::uint16_t port, const char* phone, const char* source = nullptr) {
  const std::string line = "Device 0000000A registered from " + std::string(source ? source : "127.0.0.1");
  const std::string registered = "phone \"" + std::string(phone) + "\", port COM9";
  const auto count = [&] {
    std::size_t seen = 0;
    const std::string output = vantreld.Output();
    for (std::size_t at = output.find(line); at != std::string::npos; at = output.find(line, at + 1)) {
      const std::size_t end = output.find('\n', at);
      if (output.substr(at, end - at).find(registered) != std::string::npos) ++seen;
    }
    return seen;
  };
  const std::size_t before = count();
  TestDevice device(port, source);
  return device.Send(Registration(kBound, phone)) && WaitFor([&] { return count() > before; });
}

// vantreld with one tunnel, for device kBound, on a port whose open fails.
class AdmissionSetup : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(vantreld.Run("settings set --ip 127.0.0.1 --port " + std::to_string(port)), 0);
    std::filesystem::create_directory(dir.File("ports"));
    std::filesystem::create_symlink("/nonexistent/COM9", dir.File("ports/COM9"));
    ASSERT_EQ(vantreld.Run("tunnel add 0000000A --port COM9"), 0);
  }

  void Start() {
    vantreld.Start();
    ASSERT_TRUE(WaitFor([&] { return vantreld.Output().find(kStarted) != std::string::npos; })) << vantreld.Errors();
  }

  // `vantreld reload`, which answers once the running service has applied the stored
  // configuration.
  void Reload() {
    Vantreld reload(dir.Path());
    ASSERT_EQ(reload.Run("reload"), 0) << reload.Errors() << vantreld.Errors();
  }

  TempDir dir;
  Vantreld vantreld{dir.Path()};
  const std::uint16_t port = FreePort();
};

}  // namespace

TEST_F(AdmissionSetup, BindingsTakeEffectAtStartAndAtEveryReload) {
  ASSERT_EQ(vantreld.Run("tunnel bind 0000000A --phone 111"), 0);
  Start();
  EXPECT_TRUE(Refused(port, "222"));
  EXPECT_NE((vantreld.Output() + vantreld.Errors()).find("device 0000000A refused"), std::string::npos)
      << vantreld.Output() << vantreld.Errors();
  EXPECT_TRUE(Admitted(vantreld, port, "111"));

  ASSERT_EQ(vantreld.Run("tunnel bind 0000000A --phone 222 --from 127.0.0.2"), 0);
  Reload();
  EXPECT_TRUE(Refused(port, "111", "127.0.0.2"));
  EXPECT_TRUE(Refused(port, "222", "127.0.0.1"));
  EXPECT_TRUE(Admitted(vantreld, port, "222", "127.0.0.2"));

  ASSERT_EQ(vantreld.Run("tunnel unbind 0000000A"), 0);
  Reload();
  EXPECT_TRUE(Admitted(vantreld, port, "333", "127.0.0.3"));

  // A deleted tunnel's binding goes with it: bound again, deleted, added back.
  ASSERT_EQ(vantreld.Run("tunnel bind 0000000A --phone 111"), 0);
  ASSERT_EQ(vantreld.Run("tunnel delete 0000000A"), 0);
  ASSERT_EQ(vantreld.Run("tunnel add 0000000A --port COM9"), 0);
  Reload();
  EXPECT_TRUE(Admitted(vantreld, port, "444"));
  vantreld.Signal(SIGTERM);
  EXPECT_EQ(vantreld.WaitForExit(), 0) << vantreld.Errors();
}

TEST_F(AdmissionSetup, SettingsTakeEffectAtReload) {
  Start();
  EXPECT_TRUE(Admitted(vantreld, port, "1", "127.0.0.2"));
  ASSERT_EQ(vantreld.Run("settings set --allow 127.0.0.1,127.0.0.3/32"), 0);
  Reload();
  EXPECT_TRUE(TestDevice(port, "127.0.0.2").WaitClosed());
  EXPECT_TRUE(Admitted(vantreld, port, "1", "127.0.0.3"));
  ASSERT_EQ(vantreld.Run("settings set --allow 0.0.0.0/0 --refuse-unconfigured on"), 0);
  Reload();
  TestDevice stranger(port, "127.0.0.2");
  ASSERT_TRUE(stranger.Send(Registration(0x0000000B)));
  EXPECT_TRUE(stranger.WaitClosed()) << "no tunnel for 0000000B";
  EXPECT_TRUE(Admitted(vantreld, port, "1", "127.0.0.2"));
  vantreld.Signal(SIGTERM);
  EXPECT_EQ(vantreld.WaitForExit(), 0) << vantreld.Errors();
}

// A stored value that cannot be used is told at start; a binding that cannot be read
// admits nobody rather than everybody.
TEST_F(AdmissionSetup, StoredValuesThatCannotBeUsedAreWarnedAbout) {
  struct Case {
    std::string sql;
    std::string warning;
    bool boundDeviceRefused;
  };
  auto setting = [](const std::string& key, const std::string& value) {
    return "update TabSetting set ParamValue = '" + value + "' where ParamKey = '" + key + "'";
  };
  const Case cases[] = {
      {setting("AllowedNetworks", "10.0.0.0/8,,127.0.0.1"),
       "setting AllowedNetworks: stored value \"10.0.0.0/8,,127.0.0.1\" has \"\", which is not an IPv4 network; every "
       "address is admitted (the default)",
       false},
      {setting("AllowedNetworks", "") + "; " + setting("RefuseUnconfigured", "maybe"),
       "setting RefuseUnconfigured: stored value \"maybe\" is not a number; off is used", false},
      {setting("RefuseUnconfigured", "0") + "; " + setting("MaxConnectionsPerAddress", "70000"),
       "setting MaxConnectionsPerAddress: stored value \"70000\" is outside 0..65535; 0 (no cap) is used", false},
      {setting("MaxConnectionsPerAddress", "0") +
           "; insert into TunnelBinding values ('0000000A', '', '127.0.0.1/40')",
       "binding row '0000000A': Networks \"127.0.0.1/40\" has \"127.0.0.1/40\", which is not an IPv4 network; "
       "0000000A is refused from every address until the row is corrected",
       true},
      {"update TunnelBinding set Networks = '', Phone = '123456789012'",
       "binding row '0000000A': Phone \"123456789012\" is longer than the 11 characters a registration carries", true},
  };
  const std::string db = dir.File("Info.db");
  for (const Case& row : cases) {
    SqliteFile(db).Exec(row.sql);
    Start();
    EXPECT_NE(vantreld.Errors().find("vantreld: warning: " + row.warning), std::string::npos)
        << row.sql << "\n" << vantreld.Errors();
    if (row.boundDeviceRefused) {
      EXPECT_TRUE(Refused(port, "12345678901")) << row.sql;
    } else {
      EXPECT_TRUE(Admitted(vantreld, port, "12345678901")) << row.sql;
    }
    vantreld.Signal(SIGTERM);
    EXPECT_EQ(vantreld.WaitForExit(), 0) << vantreld.Errors();
  }
}

namespace {

// Another local user (nobody) holding what it can of the signal socket's places before the
// service starts: the abstract name an instance once used, and the application
// directory's signal folder where its permissions let it. Killed with the object.
class Squatter {
 public:
  Squatter(const passwd& user, const std::string& appDir) {
    sockaddr_un abstract{};
    abstract.sun_family = AF_UNIX;
    const std::string name = "vantrel-events:" + appDir;
    std::memcpy(abstract.sun_path + 1, name.data(), std::min(name.size(), sizeof abstract.sun_path - 2));
    const socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 +
                                                    std::min(name.size(), sizeof abstract.sun_path - 2));
    const std::string folder = appDir + "/.vantrel-events";
    int report[2];
    if (pipe(report) != 0) return;
    m_pid = fork();
    if (m_pid == 0) {
      close(report[0]);
      if (setgroups(0, nullptr) != 0 || setgid(user.pw_gid) != 0 || setuid(user.pw_uid) != 0) _exit(1);
      const int held = socket(AF_UNIX, SOCK_STREAM, 0);
      const char took[2] = {
          bind(held, reinterpret_cast<const sockaddr*>(&abstract), length) == 0 && listen(held, 1) == 0 ? 'A' : 'a',
          mkdir(folder.c_str(), 0777) == 0 ? 'F' : 'f'};
      if (write(report[1], took, sizeof took) != static_cast<ssize_t>(sizeof took)) _exit(1);
      pause();
      _exit(0);
    }
    close(report[1]);
    char took[2] = {};
    if (m_pid > 0 && read(report[0], took, sizeof took) == static_cast<ssize_t>(sizeof took))
      m_took = std::string(took, sizeof took);
    close(report[0]);
  }
  ~Squatter() {
    if (m_pid > 0) {
      kill(m_pid, SIGKILL);
      waitpid(m_pid, nullptr, 0);
    }
  }

  // 'A' when it holds the abstract name, 'F' when it made the folder (lower case: not).
  const std::string& Took() const { return m_took; }

 private:
  pid_t m_pid = -1;
  std::string m_took;
};

}  // namespace

TEST(VantreldSignalSocket, AnotherUserCannotKeepTheServiceFromStartingNorSignalIt) {
  const passwd* nobody = getpwnam("nobody");
  if (geteuid() != 0 || nobody == nullptr) GTEST_SKIP() << "needs root and a user \"nobody\"";
  TempDir dir;
  // As the packaged service's state folder: others may look in, not write.
  std::filesystem::permissions(dir.Path(), std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                                               std::filesystem::perms::group_exec |
                                               std::filesystem::perms::others_read |
                                               std::filesystem::perms::others_exec);
  Vantreld vantreld(dir.Path());
  ASSERT_EQ(vantreld.Run("settings set --ip 127.0.0.1 --port " + std::to_string(FreePort())), 0);
  const Squatter squatter(*nobody, dir.Path());
  ASSERT_EQ(squatter.Took(), "Af") << "it holds the old name and cannot make the folder";

  vantreld.Start();
  ASSERT_TRUE(WaitFor([&] { return vantreld.Output().find(kStarted) != std::string::npos; })) << vantreld.Errors();
  struct stat folder {};
  ASSERT_EQ(lstat(dir.File(".vantrel-events").c_str(), &folder), 0);
  EXPECT_EQ(folder.st_uid, 0u);
  EXPECT_EQ(folder.st_mode & 0777, 0700u);

  Vantreld stranger(dir.Path());
  stranger.RunAs(nobody->pw_uid, nobody->pw_gid);
  EXPECT_EQ(stranger.Run("--signal SockoraServerShutdown"), 1);
  EXPECT_NE(stranger.Errors().find("cannot be reached by this user"), std::string::npos) << stranger.Errors();

  EXPECT_EQ(Vantreld(dir.Path()).Run("--signal SockoraServerShutdown"), 0);
  EXPECT_EQ(vantreld.WaitForExit(), 0) << vantreld.Errors();
  EXPECT_FALSE(std::filesystem::exists(dir.File(".vantrel-events/socket"))) << "removed at the end";
}
