#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "SqliteFile.h"
#include "StorageTestSupport.h"
#include "TestAppDirectory.h"
#include "TestItems.h"
#include "WaitFor.h"
#include "core/CDataCenter.h"
#include "core/CNotTransWriter.h"
#include "model/LocalTimeText.h"
#include "platform/CStoppableThread.h"
#include "platform/Notice.h"
#include "storage/CAccessInterface.h"

using Sockora::Win32::CEvent;
using Sockora::Win32::CStoppableThread;

namespace {

// The data center's writer on the test program's Info.db, emptied for each test.
class NotTransWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(store.OpenDatabase(DATABASE_FILE_NAME), 1);
    file.Exec("DROP TRIGGER IF EXISTS Reject");
    ASSERT_EQ(store.DeleteAllNotTransData(), 1);
    center.NotTransQueue.Clear();
  }

  // Device, time and data of the stored rows of `deviceId`, in the order stored.
  std::vector<NotTransRecord> Stored(const std::string& deviceId) {
    std::vector<NotTransRecord> records;
    EXPECT_GE(store.QueryNotTransData({deviceId, "", ""}, records, 100000, nullptr), 0);
    return records;
  }

  bool StoredCountIs(const std::string& deviceId, std::size_t count) {
    return WaitFor([&] { return Stored(deviceId).size() == count; });
  }

  CDataCenter& center = CDataCenter::Instance();
  CAccessInterface store;
  SqliteFile file{TestAppDirectory().Path() + "/" + DATABASE_FILE_NAME};
};

}  // namespace

TEST_F(NotTransWriterTest, RecordsStoredInQuickSuccessionAreAllWrittenWithTheirTimes) {
  const std::string before = LocalTimeText();
  center.StoreNotTransData(MakeItem("00000001", DATA_USER, {0x31, 0x32, 0x00, 0x33}));
  center.StoreNotTransData(MakeItem("00000001", DATA_USER, {}));
  center.StoreNotTransData(MakeItem("00000001", DATA_USER, {0xFE}));
  const std::string after = LocalTimeText();

  ASSERT_TRUE(StoredCountIs("00000001", 3));
  const auto records = Stored("00000001");
  EXPECT_EQ(DataOf(records[0]), (Bytes{0x31, 0x32, 0x00, 0x33}));
  EXPECT_EQ(DataOf(records[1]), Bytes{}) << "a zero-length record gives one empty row";
  EXPECT_EQ(DataOf(records[2]), Bytes{0xFE});
  for (const auto& record : records) {
    EXPECT_GE(std::string(record.ReceiveTime), before);
    EXPECT_LE(std::string(record.ReceiveTime), after);
    EXPECT_EQ(std::strlen(record.ReceiveTime), 19u);
  }
}

TEST_F(NotTransWriterTest, WriterAndAnotherConnectionWorkAtOnce) {
  constexpr int kRecords = 300;
  DebugLines lines;
  std::atomic<bool> failed{false};
  std::thread other([&] {
    CAccessInterface dialog;
    if (dialog.OpenDatabase(DATABASE_FILE_NAME) != 1) failed = true;
    for (int i = 0; i < 100 && !failed; ++i) {
      const TunnelInfo tunnel{"0000000D", "COM5", std::to_string(9600 + i), "8", "1", "None", ""};
      std::vector<NotTransRecord> records;
      if (dialog.ModifyTunnel(tunnel) != 1 ||
          dialog.SaveNotTransData({MakeRecord("2024/01/01 00:00:00", "0000000E", {static_cast<unsigned char>(i)})}) != 1 ||
          dialog.QueryNotTransData({"00000002", "", ""}, records, 10, nullptr) < 0) {
        failed = true;
      }
    }
  });
  for (int i = 0; i < kRecords; ++i) center.StoreNotTransData(MakeItem("00000002", DATA_USER, {static_cast<unsigned char>(i)}));
  other.join();

  EXPECT_FALSE(failed);
  ASSERT_TRUE(StoredCountIs("00000002", kRecords));
  const auto records = Stored("00000002");
  for (int i = 0; i < kRecords; ++i) EXPECT_EQ(DataOf(records[i]), Bytes{static_cast<unsigned char>(i)});
  EXPECT_EQ(Stored("0000000E").size(), 100u);
  EXPECT_FALSE(lines.Contains("dropped"));
  store.DeleteTunnel("0000000D");
}

TEST_F(NotTransWriterTest, BatchMeetingALongWriteLockIsKeptAndWrittenOnceTheLockIsGone) {
  DebugLines lines;
  // The writer has its database open before the lock is taken: an open that meets the lock
  // is another case (the outage test below).
  center.StoreNotTransData(MakeItem("00000013", DATA_USER, {0}));
  ASSERT_TRUE(StoredCountIs("00000013", 1));
  SqliteFile locker(TestAppDirectory().Path() + "/" + DATABASE_FILE_NAME);
  locker.Exec("BEGIN IMMEDIATE");

  center.StoreNotTransData(MakeItem("00000003", DATA_USER, {1}));
  // The writer has taken the first record and waits for the lock...
  ASSERT_TRUE(WaitFor([&] { return center.NotTransQueue.Count() == 0; }));
  // ...while the next one waits on the queue, where a service stop leaves it.
  center.StoreNotTransData(MakeItem("00000003", DATA_USER, {2}));
  center.ResetServiceState();
  EXPECT_EQ(center.NotTransQueue.Count(), 1u);

  // The busy timeout passes: the batch is kept, not lost.
  ASSERT_TRUE(WaitFor([&] { return lines.Contains("1 records kept for a retry"); }));
  locker.Exec("COMMIT");

  ASSERT_TRUE(StoredCountIs("00000003", 2));
  const auto records = Stored("00000003");
  EXPECT_EQ(DataOf(records[0]), Bytes{1});
  EXPECT_EQ(DataOf(records[1]), Bytes{2});
  EXPECT_FALSE(lines.Contains("dropped"));
}

TEST_F(NotTransWriterTest, RejectedBatchIsDroppedWithALineAndTheWriterGoesOn) {
  DebugLines lines;
  file.Exec("CREATE TRIGGER Reject BEFORE INSERT ON NotTransData WHEN NEW.DeviceID = 'BAD00000' "
            "BEGIN SELECT RAISE(ABORT, 'rejected by test'); END");
  center.StoreNotTransData(MakeItem("BAD00000", DATA_USER, {1}));
  ASSERT_TRUE(WaitFor([&] { return lines.Contains("1 records dropped"); }));
  center.StoreNotTransData(MakeItem("00000004", DATA_USER, {2}));
  ASSERT_TRUE(StoredCountIs("00000004", 1));
  EXPECT_TRUE(Stored("BAD00000").empty());
  file.Exec("DROP TRIGGER Reject");
}

// A writer of its own on a file that cannot be opened yet (its name is a directory):
// one notice, a few spaced retries instead of a spin, and everything written once the
// file can be made.
TEST(NotTransWriterOutageTest, DatabaseDownThenBackLosesNothing) {
  const std::string name = "down.db";
  const std::filesystem::path blocker = std::filesystem::path(TestAppDirectory().Path()) / name;
  std::filesystem::create_directory(blocker);
  std::atomic<int> notices{0};
  SetNoticeHook([&](const std::string&, const std::string&, int) {
    ++notices;
    return IDNO;
  });
  DebugLines lines;
  auto retries = [&] {
    int count = 0;
    for (const auto& line : lines.Lines()) count += line.find("kept for a retry") != std::string::npos;
    return count;
  };

  CDataQueue<NotTransRecord> queue;
  CStoppableThread thread([&](CEvent& stop) {
    CNotTransWriter writer(queue, stop, name);
    writer.Run();
  });
  thread.Start();
  for (int i = 0; i < 3; ++i) queue.Push(MakeRecord("2024/06/01 00:00:00", "00000005", {static_cast<unsigned char>(i)}));
  ASSERT_TRUE(WaitFor([&] { return retries() >= 3; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  // Pauses of 100, 200, 400 ms...: a spinning writer would have made thousands of attempts.
  EXPECT_LT(retries(), 20);
  EXPECT_EQ(notices, 1);

  std::filesystem::remove(blocker);
  CAccessInterface reader;
  ASSERT_TRUE(WaitFor([&] {
    std::vector<NotTransRecord> records;
    return reader.OpenDatabase(name) == 1 && reader.QueryNotTransData({"00000005", "", ""}, records, 10, nullptr) == 3;
  }));
  // The writer tells it once its batch is in, which a reader may see first.
  EXPECT_TRUE(WaitFor([&] { return lines.Contains("database available again"); }));

  thread.Stop();
  EXPECT_TRUE(thread.Wait(20000));
  SetNoticeHook(nullptr);
}
