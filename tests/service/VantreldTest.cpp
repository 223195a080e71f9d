#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "FreePort.h"
#include "SerialFixture.h"
#include "SqliteFile.h"
#include "TempDir.h"
#include "TestDevice.h"
#include "Vantreld.h"
#include "platform/CNullModemPair.h"
#include "platform/FirstIPv4Address.h"

namespace {

// Bytes of a device stored as not forwarded so far; the service may be writing meanwhile.
std::uint64_t StoredBytes(const std::string& database, const std::string& deviceId) {
  sqlite3* db = nullptr;
  std::uint64_t bytes = 0;
  if (sqlite3_open_v2(database.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_busy_timeout(db, 5000);
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT COALESCE(SUM(LENGTH(ReceiveData)), 0) FROM NotTransData WHERE DeviceID = ?",
                           -1, &statement, nullptr) == SQLITE_OK) {
      sqlite3_bind_text(statement, 1, deviceId.c_str(), -1, SQLITE_TRANSIENT);
      if (sqlite3_step(statement) == SQLITE_ROW) bytes = static_cast<std::uint64_t>(sqlite3_column_int64(statement, 0));
    }
    sqlite3_finalize(statement);
  }
  sqlite3_close(db);
  return bytes;
}

}  // namespace

TEST(Vantreld, RunsUntilSigtermOrAShutdownSignalAndExitsZero) {
  TempDir dir;
  Vantreld vantreld(dir.Path());
  ASSERT_EQ(vantreld.Run("settings set --ip 127.0.0.1 --port " + std::to_string(FreePort())), 0);

  vantreld.Start();
  ASSERT_TRUE(WaitFor([&] { return vantreld.Output().find(kStarted) != std::string::npos; })) << vantreld.Errors();
  vantreld.Signal(SIGTERM);
  EXPECT_EQ(vantreld.WaitForExit(), 0) << vantreld.Errors();
  EXPECT_NE(vantreld.Output().find(kStopped), std::string::npos);

  Vantreld again(dir.Path());
  again.Start();
  ASSERT_TRUE(WaitFor([&] { return again.Output().find(kStarted) != std::string::npos; })) << again.Errors();
  EXPECT_EQ(Vantreld(dir.Path()).Run("--signal SockoraServerShutdown"), 0);
  EXPECT_EQ(again.WaitForExit(), 0) << again.Errors();
}

// Where devices must connect, and when they cannot: the address and port listened on at
// the start, then the pause and the resume, each refusing or taking connections as it says.
TEST(Vantreld, StatusLinesSayWhereItListensAndWhenItPausesAndResumes) {
  TempDir dir;
  Vantreld vantreld(dir.Path());
  const std::uint16_t port = FreePort();
  ASSERT_EQ(vantreld.Run("settings set --ip 127.0.0.1 --port " + std::to_string(port)), 0);
  const std::string where = "127.0.0.1:" + std::to_string(port);

  vantreld.Start();
  ASSERT_TRUE(WaitFor([&] { return vantreld.Output().find("Listening for devices on " + where + "\n") != std::string::npos; }))
      << vantreld.Output() << vantreld.Errors();
  EXPECT_EQ((vantreld.Output() + vantreld.Errors()).find("open files"), std::string::npos)
      << "no note for a limit the tunnels fit in";

  ASSERT_EQ(Vantreld(dir.Path()).Run("--signal SockoraServerPauseResume"), 0);
  ASSERT_TRUE(WaitFor([&] {
    return vantreld.Output().find("Paused: new devices are not accepted on " + where + ";") != std::string::npos;
  })) << vantreld.Output();
  EXPECT_FALSE(TestDevice(port).IsOpen());

  ASSERT_EQ(Vantreld(dir.Path()).Run("--signal SockoraServerPauseResume"), 0);
  ASSERT_TRUE(WaitFor([&] {
    return vantreld.Output().find("Resumed: listening for devices on " + where + " again\n") != std::string::npos;
  })) << vantreld.Output();
  EXPECT_TRUE(TestDevice(port).IsOpen());
  vantreld.Signal(SIGTERM);
  EXPECT_EQ(vantreld.WaitForExit(), 0) << vantreld.Errors();
}

// An empty LocalIp listens on this computer's first IPv4 address: the line names it.
TEST(Vantreld, TheStartLineNamesTheAddressAnEmptyLocalIpListensOn) {
  TempDir dir;
  Vantreld vantreld(dir.Path());
  const std::uint16_t port = FreePort();
  ASSERT_EQ(vantreld.Run("settings set --port " + std::to_string(port)), 0);
  const std::string first = FirstIPv4Address();
  const std::string line = first.empty() ? "Listening for devices on 0.0.0.0:" + std::to_string(port) +
                                               " (every address of this computer)\n"
                                         : "Listening for devices on " + first + ":" + std::to_string(port) +
                                               " (this computer's first IPv4 address)\n";
  vantreld.Start();
  EXPECT_TRUE(WaitFor([&] { return vantreld.Output().find(line) != std::string::npos; }))
      << line << vantreld.Output() << vantreld.Errors();
  vantreld.Signal(SIGTERM);
  EXPECT_EQ(vantreld.WaitForExit(), 0) << vantreld.Errors();
}

// --debug: each trace line once, on stderr; stdout keeps the status lines alone.
TEST(Vantreld, DebugWritesEachTraceLineOnceToStderr) {
  TempDir dir;
  Vantreld vantreld(dir.Path());
  ASSERT_EQ(vantreld.Run("settings set --ip 127.0.0.1 --port " + std::to_string(FreePort())), 0);
  vantreld.Start("--debug");
  const std::string trace = ": OnStartAcceptingConnections\n";
  ASSERT_TRUE(WaitFor([&] {
    return vantreld.Output().find(kStarted) != std::string::npos && vantreld.Errors().find(trace) != std::string::npos;
  })) << vantreld.Errors();
  vantreld.Signal(SIGTERM);
  EXPECT_EQ(vantreld.WaitForExit(), 0) << vantreld.Errors();
  const std::string errors = vantreld.Errors();
  EXPECT_EQ(errors.find(trace), errors.rfind(trace)) << errors;
  EXPECT_EQ(vantreld.Output().find("OnStartAcceptingConnections"), std::string::npos) << vantreld.Output();
}

TEST(Vantreld, AServiceThatCannotStartExitsNonZeroWithTheReason) {
  TempDir dir;
  TakenPort taken;
  ASSERT_NE(taken.Port(), 0);

  Vantreld vantreld(dir.Path());
  ASSERT_EQ(vantreld.Run("settings set --ip 127.0.0.1 --port " + std::to_string(taken.Port())), 0);
  vantreld.Start();
  EXPECT_EQ(vantreld.WaitForExit(), 1);
  EXPECT_NE(vantreld.Errors().find("Address already in use"), std::string::npos) << vantreld.Errors();

  EXPECT_EQ(Vantreld(dir.Path()).Run("--signal SockoraServerShutdown"), 1) << "no instance runs there";
  EXPECT_EQ(Vantreld(dir.Path()).Run("--signal NoSuchEvent"), 2);
}

// Device 1 floods COM5, which nobody reads until the flood is over; device 2 talks to
// COM6, which is read. Device 1 is slowed down instead of losing records (its port's
// write runs into its bound, then its data goes to the store), and device 2 loses nothing.
TEST(Vantreld, AFloodToAPortNobodyReadsCostsNoDeviceAnyData) {
  TempDir dir;
  const std::string ports = dir.Path() + "/ports";
  std::filesystem::create_directories(ports);
  CNullModemPair flooded, talked;
  ASSERT_TRUE(flooded.Create() && flooded.Link(ports, "COM5", "COM5_FF"));
  ASSERT_TRUE(talked.Create() && talked.Link(ports, "COM6", "COM6_FF"));
  const std::uint16_t port = FreePort();
  Vantreld vantreld(dir.Path());
  ASSERT_EQ(vantreld.Run("settings set --ip 127.0.0.1 --port " + std::to_string(port)), 0);
  ASSERT_EQ(vantreld.Run("tunnel add 00000001 --port COM5"), 0);
  ASSERT_EQ(vantreld.Run("tunnel add 00000002 --port COM6"), 0);
  vantreld.Start();
  ASSERT_TRUE(WaitFor([&] { return vantreld.Output().find(kStarted) != std::string::npos; })) << vantreld.Errors();

  LocalEnd reader(ports + "/COM6_FF");
  TestDevice one(port), two(port);
  ASSERT_TRUE(one.Send(Registration(1)) && two.Send(Registration(2)));
  // Enough to overflow a 5000-record queue while the flooded port's write waits out its bound.
  constexpr std::size_t kBlocks = 1000;
  const Bytes block = Pattern(64 * 1024, 1);
  std::atomic<std::size_t> blocksSent{0};
  std::thread flood([&] {
    for (std::size_t i = 0; i < kBlocks && one.Send(block); ++i) ++blocksSent;
  });
  Bytes markers;
  for (std::size_t i = 0; blocksSent < kBlocks && i < kBlocks / 10; ++i) {
    const Bytes marker = Text("<" + std::to_string(i) + ">");
    ASSERT_TRUE(two.Send(marker));
    markers.insert(markers.end(), marker.begin(), marker.end());
    // One marker per ten blocks of the flood.
    if (!WaitFor([&] { return blocksSent >= (i + 1) * 10 || blocksSent == kBlocks; })) break;
  }
  flood.join();
  ASSERT_EQ(blocksSent, kBlocks);
  EXPECT_EQ(reader.Read(markers.size()), markers);

  // Now COM5 is read: what is still on its way reaches it or the store.
  LocalEnd late(ports + "/COM5_FF");
  const std::string database = dir.Path() + "/Info.db";
  const std::uint64_t sent = kBlocks * block.size();
  std::uint64_t delivered = 0;
  EXPECT_TRUE(WaitFor(
      [&] {
        delivered += late.Read(1 << 20, std::chrono::milliseconds(50)).size();
        return delivered + StoredBytes(database, "00000001") >= sent;
      },
      std::chrono::seconds(90)));
  vantreld.Signal(SIGTERM);
  EXPECT_EQ(vantreld.WaitForExit(), 0) << vantreld.Errors();
  EXPECT_EQ(delivered + StoredBytes(database, "00000001"), sent);
  EXPECT_EQ(StoredBytes(database, "00000002"), 0u);
}

namespace {

// A device number and the ID its registration makes.
constexpr std::uint32_t kStoredDevice = 0xABCDEF12;

// The start-up warnings of a stored value: `sql` changes the file, `warning` must appear
// on stderr (empty: no warning at all).
struct StoredValueCase {
  std::string sql;
  std::string warning;
};

void ExecSql(const std::string& path, const std::string& sql) {
  SqliteFile file(path);
  file.Exec(sql);
}

}  // namespace

TEST(Vantreld, StoredValuesThatCannotBeUsedAreWarnedAboutAtStart) {
  TempDir dir;
  Vantreld vantreld(dir.Path());
  const std::uint16_t port = FreePort();
  ASSERT_EQ(vantreld.Run("settings set --ip 127.0.0.1 --port " + std::to_string(port)), 0);
  const std::string db = dir.File("Info.db");
  auto setting = [](const std::string& key, const std::string& value) {
    return "update TabSetting set ParamValue = " + value + " where ParamKey = '" + key + "'";
  };
  const std::string p = std::to_string(port);
  const StoredValueCase cases[] = {
      {setting("LocalPort", "'" + p + "'"), ""},
      // Empty and 0 ask for 5001.
      {setting("LocalPort", "''"), ""},
      {setting("LocalPort", "'0'"), ""},
      {setting("LocalPort", "'abc'"), "setting LocalPort: stored value \"abc\" is not a number; 5001 is used"},
      {setting("LocalPort", "'5001.5'"),
       "setting LocalPort: stored value \"5001.5\" is not a whole number; its leading 5001 is used"},
      {setting("LocalPort", "NULL"), "setting LocalPort: stored value NULL is not a number; 5001 is used"},
      // The leading number is what the settings dialog reads and what such a file always
      // listened on: devices set up for it keep reaching the service.
      {setting("LocalPort", "'" + p + " abc'"),
       "setting LocalPort: stored value \"" + p + " abc\" is not a whole number; its leading " + p + " is used"},
      {setting("LocalPort", "'99999999999999999999'"),
       "setting LocalPort: stored value \"99999999999999999999\" is outside 1..65535; 5001 is used"},
      {setting("LocalPort", "'" + p + "'") + "; " + setting("DelayComRead", "'99999999999'"),
       "setting DelayComRead: stored value \"99999999999\" is outside 0..10000; 10000 is used"},
      {setting("DelayComRead", "'-2147483649'"),
       "setting DelayComRead: stored value \"-2147483649\" is outside 0..10000; 0 is used"},
      {setting("DelayComRead", "'2147483648'"),
       "setting DelayComRead: stored value \"2147483648\" is outside 0..10000; 10000 is used"},
      {setting("DelayComRead", "'fast'"), "setting DelayComRead: stored value \"fast\" is not a number; 50 is used"},
      {setting("DelayComRead", "'100'") + "; insert into TunnelInfo values ('0000000G', 'COM5', 9600, 8, '1', 'None', '')",
       "tunnel row '0000000G': DeviceID is not 8 hexadecimal digits; no device can match it"},
      {"delete from TunnelInfo; insert into TunnelInfo values ('123', 'COM5', 9600, 8, '1', 'None', '')",
       "tunnel row '123': DeviceID is not 8 hexadecimal digits"},
      {"delete from TunnelInfo; insert into TunnelInfo values ('0000000A', 'COM5', 0, 8, '1', 'None', '')",
       "tunnel row '0000000A': BaudRate 0 is not a rate a port can be set to; COM5 cannot be opened with it"},
      {"update TunnelInfo set BaudRate = -1", "tunnel row '0000000A': BaudRate -1 is not a rate"},
      {"update TunnelInfo set BaudRate = 'abc'", "tunnel row '0000000A': BaudRate 'abc' is not a rate"},
      {"update TunnelInfo set BaudRate = 99999999999", "tunnel row '0000000A': BaudRate 99999999999 is not a rate"},
      {"update TunnelInfo set BaudRate = 9600, DateBit = 9",
       "tunnel row '0000000A': DateBit 9 is not 5 to 8 data bits; COM5 cannot be opened with it"},
      {"update TunnelInfo set DateBit = 8", ""},
  };
  for (const StoredValueCase& row : cases) {
    ExecSql(db, row.sql);
    vantreld.Start();
    // The warnings come before the service starts; a LocalPort falling back to 5001 may
    // find that port taken on a busy machine, which does not matter here.
    ASSERT_TRUE(WaitFor([&] {
      return vantreld.Output().find(kStarted) != std::string::npos ||
             vantreld.Errors().find("could not start") != std::string::npos;
    })) << row.sql << "\n" << vantreld.Errors();
    const std::string errors = vantreld.Errors();
    if (row.warning.empty()) {
      EXPECT_EQ(errors.find("warning"), std::string::npos) << row.sql << "\n" << errors;
    } else {
      EXPECT_NE(errors.find("vantreld: warning: " + row.warning), std::string::npos) << row.sql << "\n" << errors;
      EXPECT_NE(dir.Read("Sockora.log").find("Warning: " + row.warning), std::string::npos) << row.sql;
    }
    if (row.warning.find(" abc\" is not a whole number") != std::string::npos) {
      EXPECT_TRUE(TestDevice(port).IsOpen()) << "the leading number is the port listened on";
    }
    vantreld.Signal(SIGTERM);
    vantreld.WaitForExit();
  }
  // Nothing stored is rewritten.
  EXPECT_EQ(SqliteFile(db).Scalar("select ParamValue from TabSetting where ParamKey = 'DelayComRead'"), "100");
}

TEST(Vantreld, ALowerCaseDeviceIdIsUsedInUpperCaseWithAWarning) {
  TempDir dir;
  Vantreld vantreld(dir.Path());
  const std::uint16_t port = FreePort();
  ASSERT_EQ(vantreld.Run("settings set --ip 127.0.0.1 --port " + std::to_string(port)), 0);
  // A port whose open fails: the device's data goes to the not-forwarded store, which
  // only happens for a configured device.
  std::filesystem::create_directory(dir.File("ports"));
  std::filesystem::create_symlink("/nonexistent/COM9", dir.File("ports/COM9"));
  ExecSql(dir.File("Info.db"), "insert into TunnelInfo values ('abcdef12', 'COM9', 9600, 8, '1', 'None', '')");

  vantreld.Start();
  ASSERT_TRUE(WaitFor([&] { return vantreld.Output().find(kStarted) != std::string::npos; })) << vantreld.Errors();
  EXPECT_NE(vantreld.Errors().find("tunnel row 'abcdef12': DeviceID is in lower case; it is used as ABCDEF12"),
            std::string::npos)
      << vantreld.Errors();
  TestDevice device(port);
  ASSERT_TRUE(device.Send(Registration(kStoredDevice)));
  ASSERT_TRUE(WaitFor([&] { return vantreld.Output().find(kMatchedOnline + ":1") != std::string::npos; }));
  ASSERT_TRUE(device.Send(Bytes{0x31, 0x32, 0x33}));
  SqliteFile file(dir.File("Info.db"));
  EXPECT_TRUE(WaitFor([&] { return file.Scalar("select count(*) from NotTransData where DeviceID = 'ABCDEF12'") == "1"; }));
  EXPECT_EQ(file.Scalar("select DeviceID from TunnelInfo"), "abcdef12") << "the stored row stays as it was";
  vantreld.Signal(SIGTERM);
  EXPECT_EQ(vantreld.WaitForExit(), 0);
}

TEST(Vantreld, NotForwardedDataBeyondTheStoreLimitIsCountedNotStoredAndStoringResumes) {
  TempDir dir;
  Vantreld vantreld(dir.Path());
  const std::uint16_t port = FreePort();
  // A 300-byte block takes two rows: 300 bytes of data and twice 27 of time and ID.
  ASSERT_EQ(vantreld.Run("settings set --ip 127.0.0.1 --store-limit 1000 --port " + std::to_string(port)), 0);
  ASSERT_EQ(vantreld.Run("tunnel add 0000000C --port COM9"), 0);
  std::filesystem::create_directory(dir.File("ports"));
  std::filesystem::create_symlink("/nonexistent/COM9", dir.File("ports/COM9"));

  vantreld.Start("--debug");
  ASSERT_TRUE(WaitFor([&] { return vantreld.Output().find(kStarted) != std::string::npos; })) << vantreld.Errors();
  TestDevice device(port);
  ASSERT_TRUE(device.Send(Registration(12)));
  ASSERT_TRUE(WaitFor([&] { return vantreld.Output().find(kMatchedOnline + ":1") != std::string::npos; }));
  SqliteFile file(dir.File("Info.db"));
  auto rowsAre = [&](const std::string& count) {
    return WaitFor([&] { return file.Scalar("select count(*) from NotTransData") == count; });
  };
  const Bytes block(300, 0x41);
  ASSERT_TRUE(device.Send(block));
  ASSERT_TRUE(rowsAre("2"));
  ASSERT_TRUE(device.Send(block));
  ASSERT_TRUE(rowsAre("4"));

  ASSERT_TRUE(device.Send(block));
  ASSERT_TRUE(WaitFor([&] { return vantreld.Output().find("reached its store limit (1000 bytes)") != std::string::npos; }))
      << vantreld.Output();
  EXPECT_EQ(file.Scalar("select count(*) from NotTransData"), "4");
  EXPECT_NE(vantreld.Errors().find("the store limit of 1000 bytes is reached (708 stored)"), std::string::npos);

  // Rows deleted by another program make room: the service notices without new records.
  ASSERT_EQ(Vantreld(dir.Path()).Run("nottrans delete-all --yes"), 0);
  ASSERT_TRUE(WaitFor([&] { return vantreld.Output().find("Storing not-forwarded data again; 1 records were not stored meanwhile") != std::string::npos; }))
      << vantreld.Output();
  EXPECT_NE(vantreld.Errors().find("1 records counted, not stored (store limit of 1000 bytes)"), std::string::npos);
  ASSERT_TRUE(device.Send(block));
  ASSERT_TRUE(rowsAre("2"));
  ASSERT_TRUE(device.Send(block));
  ASSERT_TRUE(rowsAre("4"));

  // Deleted while there was room: the size is read again before a record is refused.
  ASSERT_EQ(Vantreld(dir.Path()).Run("nottrans delete-all --yes"), 0);
  ASSERT_TRUE(device.Send(block));
  EXPECT_TRUE(rowsAre("2"));
  EXPECT_EQ(vantreld.Errors().find("store limit of 1000 bytes is reached (708 stored)"),
            vantreld.Errors().rfind("store limit of 1000 bytes is reached (708 stored)"))
      << "reached once only";

  vantreld.Signal(SIGTERM);
  EXPECT_EQ(vantreld.WaitForExit(), 0);
}

namespace {

// Runs vantreld as a user that file permissions apply to: "nobody" when the tests run as
// root, the test's own user otherwise. False when there is no such user to run as.
bool RunAsUnprivileged(Vantreld& vantreld) {
  if (geteuid() != 0) return true;
  const passwd* nobody = getpwnam("nobody");
  if (nobody == nullptr) return false;
  vantreld.RunAs(nobody->pw_uid, nobody->pw_gid);
  return true;
}

// The directory and the test's temporary directory open to that user.
void OpenToEveryone(const TempDir& dir) {
  std::filesystem::permissions(dir.Path(), std::filesystem::perms::all);
}

struct UnusableCase {
  std::string what;
  std::function<void(const TempDir&)> setUp;
  std::string reason;
  bool readOnlyCommandsWork;
};

}  // namespace

TEST(Vantreld, AnInfoDbThatCannotBeOpenedOrReadFailsTheStartWithTheReason) {
  const auto validFile = [](const TempDir& dir) {
    ASSERT_EQ(Vantreld(dir.Path()).Run("tunnel add 0000000C --port COM9"), 0);
  };
  const UnusableCase cases[] = {
      {"random bytes", [](const TempDir& dir) { dir.Write("Info.db", std::string(8192, 'x')); },
       "file is not a database", false},
      {"a directory", [](const TempDir& dir) { std::filesystem::create_directory(dir.File("Info.db")); },
       "unable to open database file (Is a directory)", false},
      {"read-only, lacking the index and the settings",
       [](const TempDir& dir) {
         ExecSql(dir.File("Info.db"),
                 "create table TunnelInfo (DeviceID text, SerialNo text, BaudRate integer, DateBit integer, "
                 "StopBit text, Parity text, Note text); create table NotTransData (ReceiveTime text, DeviceID text, "
                 "ReceiveData blob)");
         std::filesystem::permissions(dir.File("Info.db"), std::filesystem::perms::owner_read |
                                                               std::filesystem::perms::group_read |
                                                               std::filesystem::perms::others_read);
       },
       "the file is read-only and lacks tables or the index that this program adds", true},
      {"in a directory that cannot be written",
       [&](const TempDir& dir) {
         validFile(dir);
         std::filesystem::permissions(dir.File("Info.db"), std::filesystem::perms::all);
         std::filesystem::permissions(dir.Path(), std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec |
                                                      std::filesystem::perms::others_read |
                                                      std::filesystem::perms::others_exec);
       },
       // Nobody writes it, so the commands read it as it stands.
       "attempt to write a readonly database (its directory cannot be written)", true},
      {"no file yet, in a directory that cannot be written",
       [](const TempDir& dir) {
         std::filesystem::permissions(dir.Path(), std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec |
                                                      std::filesystem::perms::others_read |
                                                      std::filesystem::perms::others_exec);
       },
       "unable to open database file (Permission denied: its folder ", false},
      {"unreadable",
       [&](const TempDir& dir) {
         validFile(dir);
         std::filesystem::permissions(dir.File("Info.db"), std::filesystem::perms::none);
       },
       "unable to open database file (Permission denied)", false},
  };
  for (const UnusableCase& row : cases) {
    TempDir dir;
    OpenToEveryone(dir);
    Vantreld vantreld(dir.Path());
    if (!RunAsUnprivileged(vantreld)) GTEST_SKIP() << "no user \"nobody\" to run vantreld as";
    row.setUp(dir);
    vantreld.Start();
    EXPECT_EQ(vantreld.WaitForExit(), 1) << row.what << "\n" << vantreld.Errors();
    EXPECT_NE(vantreld.Errors().find("vantreld: the service could not start: cannot open the database " +
                                     dir.File("Info.db") + ": " + row.reason),
              std::string::npos)
        << row.what << "\n" << vantreld.Errors();
    EXPECT_EQ(vantreld.Output().find(kStarted), std::string::npos) << row.what;
    EXPECT_EQ(vantreld.Run("tunnel list") == 0, row.readOnlyCommandsWork) << row.what << "\n" << vantreld.Errors();
    std::filesystem::permissions(dir.Path(), std::filesystem::perms::all);
  }
}

TEST(Vantreld, AReadOnlyInfoDbServesTheConfigurationAndTheReadOnlyCommands) {
  TempDir dir;
  OpenToEveryone(dir);
  Vantreld vantreld(dir.Path());
  const std::uint16_t port = FreePort();
  ASSERT_EQ(vantreld.Run("settings set --ip 127.0.0.1 --port " + std::to_string(port)), 0);
  ASSERT_EQ(vantreld.Run("tunnel add 0000000C --port COM9"), 0);
  std::filesystem::create_directory(dir.File("ports"));
  std::filesystem::create_symlink("/nonexistent/COM9", dir.File("ports/COM9"));
  // As an older program left it: without the bindings, which such a file cannot get.
  ExecSql(dir.File("Info.db"), "DROP TABLE TunnelBinding");
  std::filesystem::permissions(dir.File("Info.db"), std::filesystem::perms::owner_read |
                                                        std::filesystem::perms::group_read |
                                                        std::filesystem::perms::others_read);
  if (!RunAsUnprivileged(vantreld)) GTEST_SKIP() << "no user \"nobody\" to run vantreld as";

  vantreld.Start("--debug");
  ASSERT_TRUE(WaitFor([&] { return vantreld.Output().find(kStarted) != std::string::npos; })) << vantreld.Errors();
  EXPECT_NE(vantreld.Errors().find("can only be read: the configuration is read from it"), std::string::npos);
  // The stored tunnel is in effect: its device is matched.
  TestDevice device(port);
  ASSERT_TRUE(device.Send(Registration(12)));
  ASSERT_TRUE(WaitFor([&] { return vantreld.Output().find(kMatchedOnline + ":1") != std::string::npos; }));
  // Its data cannot be stored, and each failed batch says why.
  ASSERT_TRUE(device.Send(Bytes{0x31, 0x32}));
  EXPECT_TRUE(WaitFor([&] {
    return vantreld.Errors().find("records kept for a retry: attempt to write a readonly database") != std::string::npos;
  })) << vantreld.Errors();

  Vantreld command(dir.Path());
  ASSERT_TRUE(RunAsUnprivileged(command));
  EXPECT_EQ(command.Run("tunnel list"), 0) << command.Errors();
  EXPECT_EQ(command.Run("settings show"), 0) << command.Errors();
  EXPECT_EQ(command.Run("nottrans query --device 0000000C"), 0) << command.Errors();
  EXPECT_NE(command.Output().find("0000000C   COM9"), std::string::npos) << command.Output();
  EXPECT_NE(command.Output().find(std::to_string(port)), std::string::npos) << command.Output();
  EXPECT_EQ(command.Run("tunnel add 0000000D --port COM8"), 1) << "a change is refused with the reason";
  EXPECT_NE(command.Errors().find("attempt to write a readonly database"), std::string::npos) << command.Errors();

  vantreld.Signal(SIGTERM);
  EXPECT_EQ(vantreld.WaitForExit(), 0) << vantreld.Errors();
}

// The note about open files comes only when the configured tunnels may need more than
// the hard limit allows.
TEST(Vantreld, TheOpenFilesNoteComesOnlyWhenTheTunnelsMayNeedMoreThanTheLimit) {
  const char* prlimit = "/usr/bin/prlimit";
  if (!std::filesystem::exists(prlimit)) GTEST_SKIP() << "no prlimit to start vantreld with a lower limit";
  rlimit files{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &files), 0);
  if (files.rlim_max < 1024 && geteuid() != 0) GTEST_SKIP() << "the open-file limit is below the 1024 this test sets";
  const struct {
    int tunnels;
    std::string note;
  } cases[] = {
      {3, ""},
      {400, "Note: at most 1024 open files, fewer than the 2256 that 400 tunnels may need"},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.tunnels);
    TempDir dir;
    Vantreld setUp(dir.Path());
    ASSERT_EQ(setUp.Run("settings set --ip 127.0.0.1 --port " + std::to_string(FreePort())), 0);
    ASSERT_EQ(setUp.Run("tunnel add 00000001 --port COM9"), 0);
    ExecSql(dir.File("Info.db"), "WITH RECURSIVE n(i) AS (SELECT 2 UNION ALL SELECT i + 1 FROM n WHERE i < " +
                                     std::to_string(row.tunnels) +
                                     ") INSERT INTO TunnelInfo SELECT printf('%08X', i), SerialNo, BaudRate, DateBit, "
                                     "StopBit, Parity, Note FROM n, TunnelInfo WHERE DeviceID = '00000001'");
    AppProcess limited(prlimit, dir.Path(), {{"LC_ALL", "C.UTF-8"}});
    limited.Start(std::string("--nofile=1024:1024 ") + VANTRELD_PROGRAM);
    ASSERT_TRUE(WaitFor([&] { return limited.Output().find(kStarted) != std::string::npos; })) << limited.Errors();
    if (row.note.empty())
      EXPECT_EQ(limited.Errors().find("open files"), std::string::npos) << limited.Errors();
    else
      EXPECT_NE(limited.Errors().find(row.note), std::string::npos) << limited.Errors();
    limited.Signal(SIGTERM);
    EXPECT_EQ(limited.WaitForExit(), 0) << limited.Errors();
  }
}

// A user who is neither the instance's nor root is told whose instance it is; the instance
// goes on.
TEST(Vantreld, ASignalFromAnotherUserSaysTheInstanceBelongsToAnotherUser) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to signal as another user";
  TempDir dir;
  OpenToEveryone(dir);
  Vantreld vantreld(dir.Path());
  ASSERT_EQ(vantreld.Run("settings set --ip 127.0.0.1 --port " + std::to_string(FreePort())), 0);
  vantreld.Start();
  ASSERT_TRUE(WaitFor([&] { return vantreld.Output().find(kStarted) != std::string::npos; })) << vantreld.Errors();

  Vantreld other(dir.Path());
  if (!RunAsUnprivileged(other)) GTEST_SKIP() << "no user \"nobody\" to signal as";
  EXPECT_EQ(other.Run("--signal SockoraServerShutdown"), 1);
  EXPECT_NE(other.Errors().find("vantreld: the Vantrel instance with the application directory " + dir.Path() +
                                " belongs to another user (user root) and cannot be reached by this user: signal it as that user or as "
                                "root\n"),
            std::string::npos)
      << other.Errors();
  EXPECT_EQ(vantreld.Output().find(kStopped), std::string::npos);
  EXPECT_EQ(Vantreld(dir.Path()).Run("--signal SockoraServerShutdown"), 0);
  EXPECT_EQ(vantreld.WaitForExit(), 0) << vantreld.Errors();
}
