// The device history on its way to Info.db: the data center's writer thread, a real file,
// another connection holding it, and a queue that overflows.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "SqliteFile.h"
#include "StorageTestSupport.h"
#include "TestAppDirectory.h"
#include "WaitFor.h"
#include "core/CDataCenter.h"
#include "core/CNotTransWriter.h"
#include "platform/CAutoResetEvent.h"
#include "platform/CStoppableThread.h"
#include "storage/CAccessInterface.h"

using Sockora::Win32::CEvent;
using Sockora::Win32::CStoppableThread;

namespace {

class DeviceEventsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(store.OpenDatabase(DATABASE_FILE_NAME), 1);
    file.Exec("delete from DeviceEvents");
  }

  // The details of the stored events of `deviceId`, oldest first.
  std::vector<std::string> Details(const std::string& deviceId) {
    std::vector<std::string> details;
    EXPECT_GE(store.VisitDeviceEvents({deviceId, "", ""}, 1000,
                                      [&](const DeviceEvent& event) {
                                        details.push_back(event.Detail);
                                        return true;
                                      },
                                      nullptr),
              0);
    return details;
  }

  static DeviceEvent Event(const std::string& id, const std::string& detail) {
    return {"", id, DeviceEventName::kOffline, "127.0.0.1:1", detail, ""};
  }

  CAccessInterface store;
  SqliteFile file{TestAppDirectory().Path() + "/" + DATABASE_FILE_NAME};
};

}  // namespace

// Another program holding the file for longer than the busy timeout costs no event.
TEST_F(DeviceEventsTest, EventsMeetingAWriteLockAreKeptAndWrittenOnceItIsGone) {
  DebugLines lines;
  CDataCenter& center = CDataCenter::Instance();
  ASSERT_TRUE(center.DeviceEvents.Push(Event("000000E1", "first")));
  ASSERT_TRUE(WaitFor([&] { return Details("000000E1").size() == 1; }));
  SqliteFile locker(TestAppDirectory().Path() + "/" + DATABASE_FILE_NAME);
  locker.Exec("BEGIN IMMEDIATE");
  ASSERT_TRUE(center.DeviceEvents.Push(Event("000000E1", "second")));
  ASSERT_TRUE(center.DeviceEvents.Push(Event("000000E1", "third")));
  ASSERT_TRUE(WaitFor([&] { return lines.Contains("events kept for a retry"); }));
  locker.Exec("COMMIT");
  ASSERT_TRUE(WaitFor([&] { return Details("000000E1").size() == 3; }));
  EXPECT_EQ(Details("000000E1"), (std::vector<std::string>{"first", "second", "third"}));
}

// What does not fit in the queue is counted and told; what did is written.
TEST_F(DeviceEventsTest, EventsBeyondTheQueueAreCountedAndTold) {
  CDataQueue<NotTransRecord> records;
  CDeviceEventQueue events(records.Arrived(), 2);
  for (const char* detail : {"a", "b", "c", "d", "e"}) events.Push(Event("000000E2", detail));
  testing::internal::CaptureStderr();
  {
    auto thread = CStoppableThread::Launch([&](CEvent& stop) {
      CNotTransWriter writer(records, stop, DATABASE_FILE_NAME);
      writer.SetDeviceEvents(events);
      writer.Run();
    });
    EXPECT_TRUE(WaitFor([&] { return Details("000000E2").size() == 2; }));
    thread->StopAndWait();
  }
  const std::string errors = testing::internal::GetCapturedStderr();
  EXPECT_EQ(Details("000000E2"), (std::vector<std::string>{"a", "b"}));
  EXPECT_NE(errors.find("device history: 3 events not recorded"), std::string::npos) << errors;
}

// A file an older program made has no history: read-only it shows none, opened for
// writing it gets the table and its index.
TEST_F(DeviceEventsTest, AnOlderFileShowsNoHistoryAndGetsItsTableWhenWritten) {
  const std::string name = "Older.db";
  {
    SqliteFile older(TestAppDirectory().Path() + "/" + name);
    older.Exec("CREATE TABLE TunnelInfo (DeviceID text, SerialNo text, BaudRate integer, DateBit integer, StopBit "
               "text, Parity text, Note text)");
    older.Exec("CREATE TABLE NotTransData (ReceiveTime text, DeviceID text, ReceiveData blob)");
    older.Exec("CREATE INDEX NotTransDataDeviceTime ON NotTransData (DeviceID, ReceiveTime)");
  }
  CAccessInterface reader;
  ASSERT_EQ(reader.OpenDatabaseReadOnly(name), 1);
  bool more = true;
  EXPECT_EQ(reader.VisitDeviceEvents({}, 10, [](const DeviceEvent&) { return true; }, &more), 0);
  EXPECT_FALSE(more);
  reader.CloseDatabase();

  CAccessInterface writer;
  ASSERT_EQ(writer.OpenDatabase(name), 1);
  ASSERT_EQ(writer.SaveDeviceEvents({Event("000000E3", "kept")}), 1);
  SqliteFile older(TestAppDirectory().Path() + "/" + name);
  EXPECT_EQ(older.Scalar("select count(*) from sqlite_master where name = 'DeviceEventsDeviceTime'"), "1");
  EXPECT_EQ(older.Scalar("select Detail from DeviceEvents"), "kept");
}
