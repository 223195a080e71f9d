#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "SerialFixture.h"
#include "WaitFor.h"
#include "platform/CNullModemPair.h"
#include "platform/CPairRecord.h"
#include "serial/CSerial.h"

namespace {

namespace fs = std::filesystem;

struct Outcome {
  int code = -1;  // exit code; -1 when the program did not finish within the bound
  std::string output;
};

// Runs setupc with `args` and collects stdout and stderr. Reading ends at end of file,
// so a holder that kept the caller's pipe open would show up here as a timeout.
Outcome RunSetupc(const std::vector<std::string>& args) {
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return {};
  const pid_t child = ::fork();
  if (child == 0) {
    ::dup2(pipeFds[1], STDOUT_FILENO);
    ::dup2(pipeFds[1], STDERR_FILENO);
    std::vector<char*> argv{const_cast<char*>(SETUPC_PROGRAM)};
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    ::execv(SETUPC_PROGRAM, argv.data());
    ::_exit(127);
  }
  ::close(pipeFds[1]);
  Outcome outcome;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd fd{pipeFds[0], POLLIN, 0};
    if (left.count() <= 0 || ::poll(&fd, 1, static_cast<int>(left.count())) <= 0) break;
    char buffer[1024];
    const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
    if (n <= 0) {
      int status = 0;
      if (::waitpid(child, &status, 0) == child && WIFEXITED(status)) outcome.code = WEXITSTATUS(status);
      ::close(pipeFds[0]);
      return outcome;
    }
    outcome.output.append(buffer, static_cast<std::size_t>(n));
  }
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  ::close(pipeFds[0]);
  return outcome;
}

// Gone, or every thread of it a zombie: a holder's parent is init, which need not reap it
// at once, and its descriptors (the record's lock among them) close only with its last
// thread, which may end after the first one shows as a zombie.
bool ProcessEnded(pid_t pid) {
  std::error_code error;
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
    std::ifstream stat(task.path() / "stat");
    std::string text;
    if (!std::getline(stat, text)) continue;
    const auto close = text.rfind(") ");
    if (close == std::string::npos || close + 2 >= text.size() || text[close + 2] != 'Z') return false;
  }
  return true;
}

std::set<std::string> Entries(const std::string& directory) {
  std::set<std::string> names;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(directory, error)) names.insert(entry.path().filename().string());
  return names;
}

bool Exists(const std::string& path) { return fs::exists(fs::symlink_status(path)); }

// A terminal of some other program: a pty nobody but the test has open.
class OtherTerminal {
 public:
  OtherTerminal() { CNullModemPair::OpenEnd(m_master, m_slave, m_path); }
  ~OtherTerminal() {
    if (m_slave >= 0) ::close(m_slave);
    if (m_master >= 0) ::close(m_master);
  }
  OtherTerminal(const OtherTerminal&) = delete;
  OtherTerminal& operator=(const OtherTerminal&) = delete;

  const std::string& Path() const { return m_path; }

 private:
  int m_master = -1;
  int m_slave = -1;
  std::string m_path;
};

class IgnoringListener : public CSerial::Listener {
 public:
  void OnPortInput(CSerial&) override {}
  void OnPortGone(CSerial&) override {}
};

// Whether the service's serial driver opens COM<n>.
bool DriverOpens(int portNumber) {
  IgnoringListener listener;
  CSerial port(listener);
  return port.Open(portNumber, 9600, 8, 0, 0);
}

class SetupcTest : public ::testing::Test {
 protected:
  // The holders that records in the port directory name.
  std::vector<pid_t> Holders() const {
    std::vector<pid_t> pids;
    for (const auto& name : Entries(m_dir.Path()))
      if (name.rfind(".setupc-", 0) == 0 && name.size() > 13 && name.ends_with(".pair"))
        pids.push_back(static_cast<pid_t>(std::stol(name.substr(8))));
    return pids;
  }

  void TearDown() override {
    for (const pid_t pid : Holders()) {
      ::kill(pid, SIGTERM);
      if (!WaitFor([pid] { return ProcessEnded(pid); }, std::chrono::seconds(10))) ::kill(pid, SIGKILL);
    }
  }

  std::string Port(const std::string& name) const { return m_dir.Path() + "/" + name; }

  TempPortDir m_dir;
};

TEST_F(SetupcTest, DialogCommandLineMakesAPairThatCarriesBothWaysUntilRemoved) {
  const Outcome installed = RunSetupc({"install", "PortName=COM5", "PortName=COM5_FF,EmuBR=yes,EmuOverrun=yes"});
  ASSERT_EQ(installed.code, 0) << installed.output;
  const std::vector<pid_t> holders = Holders();
  ASSERT_EQ(holders.size(), 1u);
  const pid_t holder = holders[0];
  EXPECT_NE(::getsid(holder), ::getsid(0)) << "the holder must leave the caller's session";

  const Outcome listed = RunSetupc({"list"});
  EXPECT_EQ(listed.code, 0);
  EXPECT_NE(listed.output.find("COM5 (" + fs::read_symlink(Port("COM5")).string() + ") <-> COM5_FF ("),
            std::string::npos)
      << listed.output;

  {
    LocalEnd vantrelSide(Port("COM5"));
    LocalEnd localProgram(Port("COM5_FF"));
    ASSERT_TRUE(vantrelSide.IsOpen() && localProgram.IsOpen());
    ASSERT_TRUE(vantrelSide.Write(Text("to the program")));
    EXPECT_EQ(localProgram.Read(14), Text("to the program"));
    ASSERT_TRUE(localProgram.Write(Pattern(1000, 5)));
    EXPECT_EQ(vantrelSide.Read(1000), Pattern(1000, 5));
  }

  // A program still holding an end sees it vanish.
  const int held = ::open(Port("COM5").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(held, 0);
  const Outcome removed = RunSetupc({"remove", "PortName=com5_ff"});
  EXPECT_EQ(removed.code, 0) << removed.output;
  pollfd fd{held, POLLIN, 0};
  EXPECT_EQ(::poll(&fd, 1, 20000), 1);
  EXPECT_NE(fd.revents & POLLHUP, 0);
  ::close(held);
  EXPECT_TRUE(WaitFor([holder] { return ProcessEnded(holder); }));
  EXPECT_FALSE(Exists(Port("COM5")));
  EXPECT_FALSE(Exists(Port("COM5_FF")));
  EXPECT_TRUE(Holders().empty());
  EXPECT_NE(RunSetupc({"list"}).output.find("No pairs"), std::string::npos);
}

TEST_F(SetupcTest, AcceptsEveryFormOfTheNamesAndTheCommandLineInOneArgument) {
  struct Case {
    std::vector<std::string> args;
    std::string nameA;
    std::string nameB;
  };
  const Case cases[] = {
      {{"install PortName=COM9 PortName=COM9_FF,EmuBR=yes,EmuOverrun=yes"}, "COM9", "COM9_FF"},
      {{"install", "PortName=com07", "portname=Com7_ff,emubr=no"}, "COM7", "COM7_FF"},
      {{"install", "PortName=COM1024,EmuOverrun=no", "PortName=COM1"}, "COM1024", "COM1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.nameA);
    const Outcome installed = RunSetupc(c.args);
    ASSERT_EQ(installed.code, 0) << installed.output;
    EXPECT_TRUE(LocalEnd(Port(c.nameA)).IsOpen());
    EXPECT_TRUE(LocalEnd(Port(c.nameB)).IsOpen());
    EXPECT_EQ(RunSetupc({"remove", "PortName=" + c.nameA}).code, 0);
    EXPECT_FALSE(Exists(Port(c.nameA)) || Exists(Port(c.nameB)));
  }
}

TEST_F(SetupcTest, BadInputExitsTwoAndLeavesNothingBehind) {
  ASSERT_EQ(RunSetupc({"install", "PortName=COM3", "PortName=COM3_FF"}).code, 0);
  std::ofstream(Port("COM4")) << "not a pair";
  const std::set<std::string> before = Entries(m_dir.Path());

  const std::vector<std::vector<std::string>> cases = {
      {"install", "PortName=COM0", "PortName=COM10"},
      {"install", "PortName=COM1025", "PortName=COM10"},
      {"install", "PortName=COMX", "PortName=COM10"},
      {"install", "PortName=LPT1", "PortName=COM10"},
      {"install", "PortName=COM10_FX", "PortName=COM10"},
      {"install", "PortName=", "PortName=COM10"},
      {"install", "PortName=COM10", "PortName=com010"},
      {"install", "PortName=COM10"},
      {"install", "PortName=COM10", "PortName=COM11,EmuBR=maybe"},
      {"install", "PortName=COM10", "PortName=COM11,Baud=9600"},
      {"install", "PortName=COM10", "COM11"},
      {"install", "PortName=COM10", "PortName=com3"},
      {"install", "PortName=COM3_ff", "PortName=COM10"},
      {"install", "PortName=COM10", "PortName=COM4"},
      {"remove", "PortName=COM10"},
      {"remove", "PortName=COM4"},
      {"remove", "PortName=COM3,EmuBR=yes"},
      {"frobnicate"},
  };
  for (const auto& args : cases) {
    std::string shown;
    for (const auto& arg : args) shown += arg + " ";
    const Outcome outcome = RunSetupc(args);
    EXPECT_EQ(outcome.code, 2) << shown << outcome.output;
    EXPECT_NE(outcome.output.find("setupc: "), std::string::npos) << shown;
    EXPECT_EQ(Entries(m_dir.Path()), before) << shown;
  }
  EXPECT_EQ(Holders().size(), 1u);
}

TEST_F(SetupcTest, APairWhoseHolderWasKilledGivesItsNamesBack) {
  ASSERT_EQ(RunSetupc({"install", "PortName=COM2", "PortName=COM2_FF"}).code, 0);
  const pid_t killed = Holders().at(0);
  ::kill(killed, SIGKILL);
  ASSERT_TRUE(WaitFor([killed] { return ProcessEnded(killed); }));

  const Outcome again = RunSetupc({"install", "PortName=COM2", "PortName=COM2_FF"});
  ASSERT_EQ(again.code, 0) << again.output;
  EXPECT_NE(again.output.find("Removed the stale pair COM2 <-> COM2_FF"), std::string::npos) << again.output;
  ASSERT_EQ(Holders().size(), 1u);
  const pid_t second = Holders()[0];
  EXPECT_NE(second, killed);
  LocalEnd a(Port("COM2"));
  LocalEnd b(Port("COM2_FF"));
  ASSERT_TRUE(a.Write(Text("alive")));
  EXPECT_EQ(b.Read(5), Text("alive"));

  ::kill(second, SIGKILL);
  ASSERT_TRUE(WaitFor([second] { return ProcessEnded(second); }));
  EXPECT_EQ(RunSetupc({"remove", "PortName=COM2"}).code, 0);
  EXPECT_FALSE(Exists(Port("COM2")) || Exists(Port("COM2_FF")));
  EXPECT_TRUE(Holders().empty());
}

TEST_F(SetupcTest, AKilledHoldersLinksLeadNowhereUntilTheNameIsCleanedUp) {
  ASSERT_EQ(RunSetupc({"install", "PortName=COM5", "PortName=COM5_FF"}).code, 0);
  const std::string end = fs::read_symlink(Port("COM5")).string();
  ASSERT_TRUE(DriverOpens(5));
  const pid_t killed = Holders().at(0);
  ::kill(killed, SIGKILL);
  ASSERT_TRUE(WaitFor([killed] { return ProcessEnded(killed); }));

  // Other programs open terminals until one gets the number COM5 still leads to.
  std::vector<std::unique_ptr<OtherTerminal>> others;
  while (others.size() < 64 && !LocalEnd(Port("COM5")).IsOpen()) others.push_back(std::make_unique<OtherTerminal>());
  ASSERT_TRUE(LocalEnd(Port("COM5")).IsOpen()) << end << " was not handed out again";
  EXPECT_FALSE(DriverOpens(5)) << "COM5 opened another program's terminal";

  // A link a user made to a terminal is theirs, dead pair beside it or not.
  const OtherTerminal users;
  ASSERT_EQ(::symlink(users.Path().c_str(), Port("COM8").c_str()), 0);
  EXPECT_TRUE(DriverOpens(8));

  const Outcome listed = RunSetupc({"list"});
  EXPECT_EQ(listed.code, 0);
  EXPECT_NE(listed.output.find("COM5 (" + end + ") <-> COM5_FF ("), std::string::npos) << listed.output;
  EXPECT_NE(listed.output.find("stale"), std::string::npos) << listed.output;
  EXPECT_EQ(listed.output.find("No pairs"), std::string::npos) << listed.output;

  const Outcome removed = RunSetupc({"remove", "PortName=COM5_FF"});
  EXPECT_EQ(removed.code, 0) << removed.output;
  EXPECT_NE(removed.output.find("stale"), std::string::npos) << removed.output;
  EXPECT_FALSE(Exists(Port("COM5")) || Exists(Port("COM5_FF")));
  EXPECT_TRUE(Holders().empty());
  EXPECT_TRUE(Exists(Port("COM8")));
  EXPECT_NE(RunSetupc({"list"}).output.find("No pairs"), std::string::npos);

  ASSERT_EQ(RunSetupc({"install", "PortName=COM5", "PortName=COM5_FF"}).code, 0);
  EXPECT_TRUE(DriverOpens(5));
}

// The service may run as another user than the one who ran setupc, whatever its umask.
TEST_F(SetupcTest, AnotherUserTellsALiveHolderFromAGoneOne) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  ASSERT_EQ(::chmod(m_dir.Path().c_str(), 0755), 0);
  const mode_t umaskBefore = ::umask(077);
  const Outcome installed = RunSetupc({"install", "PortName=COM6", "PortName=COM6_FF"});
  ::umask(umaskBefore);
  ASSERT_EQ(installed.code, 0) << installed.output;

  // As nobody: 0 when COM6 counts as a gone pair's end, 1 when not, 2 on failure.
  const auto orphanedForNobody = [this] {
    const pid_t child = ::fork();
    if (child == 0) {
      if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
      ::_exit(CPairRecord::IsOrphanedEnd(m_dir.Path(), "COM6") ? 0 : 1);
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return 2;
    return WEXITSTATUS(status);
  };
  EXPECT_EQ(orphanedForNobody(), 1);
  const pid_t killed = Holders().at(0);
  ::kill(killed, SIGKILL);
  ASSERT_TRUE(WaitFor([killed] { return ProcessEnded(killed); }));
  EXPECT_EQ(orphanedForNobody(), 0);
}

}  // namespace

namespace {

// 0 when a process of user `nobody` whose only group is `gid` opens `path` for reading
// and writing, else the errno of the open.
int OpenAsMemberOf(gid_t gid, const std::string& path) {
  const pid_t child = ::fork();
  if (child == 0) {
    const gid_t groups[] = {gid};
    if (::setgroups(1, groups) != 0 || ::setgid(gid) != 0 || ::setuid(65534) != 0) ::_exit(100);
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ::_exit(fd >= 0 ? 0 : errno);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

// Serial software runs as a member of dialout: the ends setupc makes let it in by default;
// a mode that shuts the group out keeps it out.
// The service's folder belongs to the service's user: root makes pairs there as that user,
// so that the service (and the unit that restores them) may use and remove them.
TEST_F(SetupcTest, RunAsRootInAFolderOfAnotherUserThePairBelongsToThatUser) {
  const passwd* owner = ::getpwnam("daemon");
  if (::geteuid() != 0 || owner == nullptr) GTEST_SKIP() << "needs root and the user daemon";
  ASSERT_EQ(::chown(m_dir.Path().c_str(), owner->pw_uid, owner->pw_gid), 0);
  ASSERT_EQ(::chmod(m_dir.Path().c_str(), 0750), 0);

  const Outcome installed = RunSetupc({"install", "PortName=COM8", "PortName=COM8_FF"});
  ASSERT_EQ(installed.code, 0) << installed.output;
  const std::vector<pid_t> holders = Holders();
  ASSERT_EQ(holders.size(), 1u);
  struct stat process {};
  ASSERT_EQ(::stat(("/proc/" + std::to_string(holders[0])).c_str(), &process), 0);
  EXPECT_EQ(process.st_uid, owner->pw_uid) << "the holder runs as the folder's owner";
  struct stat link {};
  ASSERT_EQ(::lstat(Port("COM8").c_str(), &link), 0);
  EXPECT_EQ(link.st_uid, owner->pw_uid);
  EXPECT_EQ(RunSetupc({"remove", "PortName=COM8"}).code, 0);
}

TEST_F(SetupcTest, SerialSoftwareInTheGroupOpensTheEnds) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a process as another user";
  const group* dialout = ::getgrnam("dialout");
  if (dialout == nullptr) GTEST_SKIP() << "no dialout group";
  const gid_t gid = dialout->gr_gid;
  // The directory must let the other user reach the links.
  fs::permissions(m_dir.Path(), fs::perms::others_exec | fs::perms::group_exec, fs::perm_options::add);
  for (fs::path up = fs::path(m_dir.Path()).parent_path(); up != up.root_path(); up = up.parent_path())
    if ((fs::status(up).permissions() & fs::perms::others_exec) == fs::perms::none) GTEST_SKIP() << up << " is closed";

  const Outcome made = RunSetupc({"install", "PortName=COM3", "PortName=COM3_FF,Group=dialout"});
  ASSERT_EQ(made.code, 0) << made.output;
  EXPECT_EQ(OpenAsMemberOf(gid, Port("COM3_FF")), 0) << "an explicit Group=dialout";
  EXPECT_EQ(OpenAsMemberOf(gid, Port("COM3")), 0) << "the default";
  struct stat info {};
  ASSERT_EQ(::stat(Port("COM3").c_str(), &info), 0);
  EXPECT_EQ(info.st_gid, gid);
  EXPECT_EQ(info.st_mode & 07777, 0660u);

  ASSERT_EQ(RunSetupc({"install", "PortName=COM4,Mode=0600", "PortName=COM4_FF,Mode=0600"}).code, 0);
  EXPECT_EQ(OpenAsMemberOf(gid, Port("COM4_FF")), EACCES);

  const Outcome unknown = RunSetupc({"install", "PortName=COM6", "PortName=COM6_FF,Group=no-such-group"});
  EXPECT_EQ(unknown.code, 2) << unknown.output;
  EXPECT_FALSE(Exists(Port("COM6")));
}

// After a reboot (here: the holders killed) setupc restore makes the recorded pairs again,
// with their names and access, and leaves living pairs alone.
TEST_F(SetupcTest, RestoreRecreatesThePairsWhoseHolderIsGone) {
  ASSERT_EQ(RunSetupc({"install", "PortName=COM2,Mode=0640", "PortName=COM2_FF"}).code, 0);
  ASSERT_EQ(RunSetupc({"install", "PortName=COM8", "PortName=COM8_FF"}).code, 0);
  const std::vector<pid_t> before = Holders();
  ASSERT_EQ(before.size(), 2u);
  CPairRecord killed;
  for (const CPairRecord& record : CPairRecord::Scan(m_dir.Path()))
    if (record.nameA == "COM2") killed = record;
  ::kill(killed.pid, SIGKILL);
  ASSERT_TRUE(WaitFor([&] { return ProcessEnded(killed.pid); }));
  EXPECT_FALSE(DriverOpens(2));

  const Outcome restored = RunSetupc({"restore"});
  ASSERT_EQ(restored.code, 0) << restored.output;
  EXPECT_NE(restored.output.find("Restored COM2 ("), std::string::npos) << restored.output;
  EXPECT_EQ(restored.output.find("COM8"), std::string::npos) << "a living pair stays as it is";
  const std::vector<CPairRecord> records = CPairRecord::Scan(m_dir.Path());
  ASSERT_EQ(records.size(), 2u);
  EXPECT_NE(records[0].pid, killed.pid);
  EXPECT_EQ(records[0].accessA, killed.accessA);
  EXPECT_EQ(records[0].accessA.mode, 0640u);
  struct stat info {};
  ASSERT_EQ(::stat(Port("COM2").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
  EXPECT_TRUE(DriverOpens(2));
  LocalEnd a(Port("COM2_FF"));
  LocalEnd b(Port("COM2"));
  ASSERT_TRUE(a.Write(Text("back")));
  EXPECT_EQ(b.Read(4), Text("back"));

  const Outcome nothing = RunSetupc({"restore"});
  EXPECT_EQ(nothing.code, 0);
  EXPECT_NE(nothing.output.find("No pair to restore"), std::string::npos) << nothing.output;
}
