#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "FreePort.h"
#include "SerialFixture.h"
#include "TempDir.h"
#include "TestDevice.h"
#include "Vantreld.h"
#include "serial/CNullModemPair.h"

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
  Vantreld vantreld(dir.Path().string());
  ASSERT_EQ(vantreld.Run("settings set --ip 127.0.0.1 --port " + std::to_string(FreePort())), 0);

  vantreld.Start();
  ASSERT_TRUE(WaitFor([&] { return vantreld.Output().find(kStarted) != std::string::npos; })) << vantreld.Errors();
  vantreld.Signal(SIGTERM);
  EXPECT_EQ(vantreld.WaitForExit(), 0) << vantreld.Errors();
  EXPECT_NE(vantreld.Output().find(kStopped), std::string::npos);

  Vantreld again(dir.Path().string());
  again.Start();
  ASSERT_TRUE(WaitFor([&] { return again.Output().find(kStarted) != std::string::npos; })) << again.Errors();
  EXPECT_EQ(Vantreld(dir.Path().string()).Run("--signal SockoraServerShutdown"), 0);
  EXPECT_EQ(again.WaitForExit(), 0) << again.Errors();
}

TEST(Vantreld, AServiceThatCannotStartExitsNonZeroWithTheReason) {
  TempDir dir;
  const int other = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(other, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(other, 1), 0);
  socklen_t size = sizeof address;
  getsockname(other, reinterpret_cast<sockaddr*>(&address), &size);

  Vantreld vantreld(dir.Path().string());
  ASSERT_EQ(vantreld.Run("settings set --ip 127.0.0.1 --port " + std::to_string(ntohs(address.sin_port))), 0);
  vantreld.Start();
  EXPECT_EQ(vantreld.WaitForExit(), 1);
  EXPECT_NE(vantreld.Errors().find("Address already in use"), std::string::npos) << vantreld.Errors();
  close(other);

  EXPECT_EQ(Vantreld(dir.Path().string()).Run("--signal SockoraServerShutdown"), 1) << "no instance runs there";
  EXPECT_EQ(Vantreld(dir.Path().string()).Run("--signal NoSuchEvent"), 2);
}

// Device 1 floods COM5, which nobody reads until the flood is over; device 2 talks to
// COM6, which is read. Device 1 is slowed down instead of losing records (its port's
// write runs into its bound, then its data goes to the store), and device 2 loses nothing.
TEST(Vantreld, AFloodToAPortNobodyReadsCostsNoDeviceAnyData) {
  TempDir dir;
  const std::string ports = dir.Path().string() + "/ports";
  std::filesystem::create_directories(ports);
  CNullModemPair flooded, talked;
  ASSERT_TRUE(flooded.Create() && flooded.Link(ports, "COM5", "COM5_FF"));
  ASSERT_TRUE(talked.Create() && talked.Link(ports, "COM6", "COM6_FF"));
  const std::uint16_t port = FreePort();
  Vantreld vantreld(dir.Path().string());
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
  const std::string database = dir.Path().string() + "/Info.db";
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
