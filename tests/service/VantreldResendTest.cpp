// Stored not-forwarded data sent on once its port is back (ResendStored): vantreld as a
// process, its Info.db a real SQLite file that the test also reads and locks, devices on
// real TCP connections, the serial software on the far ends of real pty pairs.
#include <gtest/gtest.h>

#include <signal.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "../storage/SqliteFile.h"
#include "FreePort.h"
#include "SerialFixture.h"
#include "TempDir.h"
#include "TestDevice.h"
#include "Vantreld.h"
#include "WaitFor.h"
#include "platform/CNullModemPair.h"

namespace {

std::string IdOf(std::uint32_t number) {
  char id[9];
  std::snprintf(id, sizeof id, "%08X", number);
  return id;
}

std::string Hex(const Bytes& bytes) {
  static const char digits[] = "0123456789ABCDEF";
  std::string text;
  for (const unsigned char byte : bytes) {
    text += digits[byte >> 4];
    text += digits[byte & 15];
  }
  return text;
}

// `count` rows of `size` bytes each, every row different.
std::vector<Bytes> Rows(std::size_t count, std::size_t size, unsigned seed) {
  std::vector<Bytes> rows;
  for (std::size_t i = 0; i < count; ++i) rows.push_back(Pattern(size, seed + static_cast<unsigned>(i) * 7));
  return rows;
}

Bytes Joined(const std::vector<Bytes>& rows) {
  Bytes all;
  for (const Bytes& row : rows) all.insert(all.end(), row.begin(), row.end());
  return all;
}

// A pty pair the test can link as a COM port and take away again.
struct TestPort {
  explicit TestPort(std::string name) : Name(std::move(name)) {
    EXPECT_TRUE(Pair.Create()) << Pair.LastError();
    Local.emplace(Pair.PathB());
  }
  std::string Name;
  CNullModemPair Pair;
  std::optional<LocalEnd> Local;
};

class VantreldResendTest : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::create_directory(dir.File("ports")); }

  void Configure(bool resend, const std::map<std::uint32_t, std::string>& tunnels) {
    ASSERT_EQ(vantreld.Run("settings set --ip 127.0.0.1 --port " + std::to_string(port) +
                           " --delay 0 --resend-stored " + (resend ? "on" : "off")),
              0)
        << vantreld.Errors();
    for (const auto& [number, portName] : tunnels)
      ASSERT_EQ(vantreld.Run("tunnel add " + IdOf(number) + " --port " + portName), 0) << vantreld.Errors();
  }

  void Link(TestPort& testPort) {
    ASSERT_TRUE(testPort.Pair.Link(dir.File("ports"), testPort.Name, ""));
  }

  void Start() {
    vantreld.Start();
    ASSERT_TRUE(WaitFor([&] { return vantreld.Output().find(kStarted) != std::string::npos; })) << vantreld.Errors();
  }

  void Reload() { ASSERT_EQ(vantreld.Run("reload"), 0) << vantreld.Errors(); }

  // Rows stored as if an earlier run had failed to write them, one second apart from the
  // start of `day`.
  void Store(std::uint32_t number, const std::vector<Bytes>& rows, const std::string& day = "2026/01/02") {
    SqliteFile file(dir.File("Info.db"));
    file.Exec("BEGIN");
    for (std::size_t i = 0; i < rows.size(); ++i) {
      char time[32];
      std::snprintf(time, sizeof time, "%s %02zu:%02zu:%02zu", day.c_str(), i / 3600 % 24, i / 60 % 60, i % 60);
      file.Exec("insert into NotTransData values ('" + std::string(time) + "', '" + IdOf(number) + "', x'" +
                Hex(rows[i]) + "')");
    }
    file.Exec("COMMIT");
  }

  // What the store holds for a device, oldest first, joined.
  std::string StoredHex(std::uint32_t number) {
    SqliteFile file(dir.File("Info.db"));
    std::string all;
    for (const auto& row : file.Rows("select hex(ReceiveData) from NotTransData where DeviceID = '" + IdOf(number) +
                                     "' order by ReceiveTime, rowid"))
      all += row[0];
    return all;
  }

  std::size_t StoredRows(std::uint32_t number) {
    SqliteFile file(dir.File("Info.db"));
    return std::stoul(file.Scalar("select count(*) from NotTransData where DeviceID = '" + IdOf(number) + "'"));
  }

  TempDir dir;
  Vantreld vantreld{dir.Path()};
  const std::uint16_t port = FreePort();
};

// What was stored while the port was gone reaches it before anything newer, byte for byte:
// rows of an earlier run, then what the device sent while the port was missing, then what it
// sends while the resend runs.
TEST_F(VantreldResendTest, StoredRowsReachTheReturningPortBeforeNewerData) {
  TestPort com5("COM5");
  Configure(true, {{1, "COM5"}});
  const std::vector<Bytes> earlier = Rows(300, 250, 1);
  Store(1, earlier);
  Start();
  TestDevice device(port);
  ASSERT_TRUE(device.Send(Registration(1)));
  const Bytes whileGone = Pattern(6000, 11);
  for (std::size_t at = 0; at < whileGone.size(); at += 500) ASSERT_TRUE(device.Send(Slice(whileGone, at, at + 500)));
  ASSERT_TRUE(WaitFor([&] { return StoredHex(1) == Hex(Joined(earlier)) + Hex(whileGone); })) << StoredRows(1);

  Link(com5);
  Reload();
  const Bytes afterwards = Pattern(20000, 23);
  for (std::size_t at = 0; at < afterwards.size(); at += 400)
    ASSERT_TRUE(device.Send(Slice(afterwards, at, at + 400)));
  const Bytes expected = Concat({Joined(earlier), whileGone, afterwards});
  const Bytes arrived = com5.Local->Read(expected.size());
  ASSERT_EQ(arrived.size(), expected.size());
  EXPECT_TRUE(arrived == expected);
  EXPECT_TRUE(WaitFor([&] { return StoredRows(1) == 0; })) << StoredRows(1);
  EXPECT_TRUE(com5.Local->Read(1, std::chrono::milliseconds(300)).empty());
  // The store's size as the service tells it follows the rows taken out.
  EXPECT_TRUE(WaitFor([&] {
    vantreld.Run("status");
    const std::string output = vantreld.Output();
    const std::size_t at = output.rfind("Store:");
    return at != std::string::npos && output.compare(at, 16, "Store:     0 of ") == 0;
  })) << vantreld.Output();
}

// A row is removed only once the port took it: a kill -9 while the removal waits for a file
// that another program holds sends that row again at the next start, and loses nothing.
TEST_F(VantreldResendTest, ARowSentButNotYetRemovedIsSentAgainAfterAKill) {
  TestPort com5("COM5");
  Configure(true, {{1, "COM5"}});
  Link(com5);
  const std::vector<Bytes> rows = Rows(5, 100, 3);
  Store(1, rows);
  {
    SqliteFile holder(dir.File("Info.db"));
    holder.Exec("BEGIN EXCLUSIVE");
    Start();
    EXPECT_EQ(com5.Local->Read(500), Joined(rows));
    EXPECT_TRUE(WaitFor([&] { return vantreld.Errors().find("still stored and go again") != std::string::npos; }))
        << vantreld.Errors();
    vantreld.Signal(SIGKILL);
    EXPECT_EQ(vantreld.WaitForExit(), -1);
    holder.Exec("ROLLBACK");
  }
  ASSERT_EQ(StoredRows(1), 5u);
  Start();
  EXPECT_EQ(com5.Local->Read(500), Joined(rows));
  EXPECT_TRUE(WaitFor([&] { return StoredRows(1) == 0; })) << StoredRows(1);
  SqliteFile file(dir.File("Info.db"));
  EXPECT_EQ(file.Scalar("PRAGMA integrity_check"), "ok");
}

// A port that stops taking data in the middle of a resend fails; what it took is gone from
// the store, the rest (a row it took in part: its rest) stays, in order, and goes once the
// port is back.
TEST_F(VantreldResendTest, APortThatFailsMidwayKeepsTheRestStored) {
  TestPort com5("COM5");
  Configure(true, {{1, "COM5"}});
  Link(com5);
  const std::vector<Bytes> rows = Rows(4000, 250, 5);
  const Bytes all = Joined(rows);
  Store(1, rows);
  Start();
  // The serial software reads one byte, then nothing; once the resend writes, the port's
  // link goes, so that the port, once failed, stays down.
  const Bytes firstByte = com5.Local->Read(1);
  ASSERT_EQ(firstByte, Slice(all, 0, 1));
  std::filesystem::remove(dir.File("ports/COM5"));
  ASSERT_TRUE(WaitFor([&] { return vantreld.Errors().find("the port failed, the rest stays stored") != std::string::npos; },
                      std::chrono::seconds(60)))
      << vantreld.Errors();
  const std::string stored = StoredHex(1);
  ASSERT_FALSE(stored.empty());
  ASSERT_LT(stored.size(), Hex(all).size());
  const std::size_t taken = all.size() - stored.size() / 2;
  EXPECT_EQ(stored, Hex(Slice(all, taken, all.size())));
  EXPECT_EQ(com5.Local->Read(taken - 1), Slice(all, 1, taken));

  Link(com5);
  Reload();
  EXPECT_EQ(com5.Local->Read(all.size() - taken, std::chrono::seconds(60)), Slice(all, taken, all.size()));
  EXPECT_TRUE(WaitFor([&] { return StoredRows(1) == 0; })) << StoredRows(1);
}

// Off (the default): the store is for the operator; nothing is sent from it or taken out.
TEST_F(VantreldResendTest, WithTheSettingOffStoredRowsStayUntouched) {
  TestPort com5("COM5");
  Configure(false, {{1, "COM5"}});
  Link(com5);
  const std::vector<Bytes> rows = Rows(10, 100, 7);
  Store(1, rows);
  Start();
  TestDevice device(port);
  ASSERT_TRUE(device.Send(Registration(1)));
  ASSERT_TRUE(WaitRegistered(*com5.Local, device));
  const Bytes now = Text("the newest reading");
  ASSERT_TRUE(device.Send(now));
  EXPECT_EQ(com5.Local->Read(now.size()), now);
  EXPECT_TRUE(com5.Local->Read(1, std::chrono::milliseconds(300)).empty());
  EXPECT_EQ(StoredHex(1), Hex(Joined(rows)));
}

// Rows go by the device's tunnel now: a device moved from a missing port to another one has
// its rows sent there when that one opens, and each port gets only its own devices' rows.
TEST_F(VantreldResendTest, RowsGoToThePortTheDevicesTunnelNamesNow) {
  TestPort com5("COM5"), com6("COM6");
  Configure(true, {{1, "COM7"}, {2, "COM5"}});
  Link(com5);
  Link(com6);
  const std::vector<Bytes> first = Rows(20, 50, 9), second = Rows(20, 50, 13);
  Store(1, first);
  Store(2, second, "2026/01/01");
  Start();
  EXPECT_EQ(com5.Local->Read(1000), Joined(second));
  EXPECT_TRUE(WaitFor([&] { return StoredRows(2) == 0; }));
  EXPECT_EQ(StoredRows(1), first.size());

  ASSERT_EQ(vantreld.Run("tunnel modify " + IdOf(1) + " --port COM6"), 0) << vantreld.Errors();
  Reload();
  EXPECT_EQ(com6.Local->Read(1000), Joined(first));
  EXPECT_TRUE(WaitFor([&] { return StoredRows(1) == 0; }));
  EXPECT_TRUE(com5.Local->Read(1, std::chrono::milliseconds(300)).empty());
}

}  // namespace
