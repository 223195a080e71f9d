// Reading stored rows back for a resend: oldest first across devices, in batches, and
// removing a row only while it is the row that was read.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "SqliteFile.h"
#include "TestAppDirectory.h"
#include "model/DataItem.h"
#include "storage/CAccessInterface.h"
#include "storage/COldestStoredRows.h"

namespace {

class OldestStoredRowsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    name = std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + ".db";
    ASSERT_EQ(store.OpenDatabase(name), 1);
    file.emplace(TestAppDirectory().Path() + "/" + name);
  }

  void Insert(const std::string& time, const std::string& id, const std::string& data) {
    file->Exec("insert into NotTransData values ('" + time + "', '" + id + "', cast('" + data + "' as blob))");
  }

  // Every row the walk gives, as "device:data".
  std::vector<std::string> Walk(const std::vector<std::string>& ids, std::size_t perDevice) {
    COldestStoredRows rows(store, ids, perDevice, DATA_ITEM_PAYLOAD);
    std::vector<std::string> seen;
    StoredRow row;
    for (int guard = 0; guard < 1000 && rows.Next(row); ++guard) seen.push_back(row.DeviceId + ":" + row.Data);
    EXPECT_FALSE(rows.Failed());
    return seen;
  }

  std::string name;
  CAccessInterface store;
  std::optional<SqliteFile> file;
};

// Oldest first across the devices asked for, rows of one second in the order stored, other
// devices and rows without a time left out, whatever the batch size.
TEST_F(OldestStoredRowsTest, RowsComeOldestFirstAcrossDevicesInAnyBatchSize) {
  Insert("2026/03/01 10:00:02", "A", "a3");
  Insert("2026/03/01 10:00:01", "B", "b1");
  Insert("2026/03/01 10:00:01", "A", "a1");
  Insert("2026/03/01 10:00:01", "A", "a2");
  Insert("2026/03/01 09:00:00", "C", "other device");
  Insert("2026/03/01 10:00:03", "B", "b2");
  file->Exec("insert into NotTransData values (null, 'A', cast('no time' as blob))");
  const std::vector<std::string> expected{"B:b1", "A:a1", "A:a2", "A:a3", "B:b2"};
  for (const std::size_t batch : {1u, 2u, 64u}) {
    SCOPED_TRACE(batch);
    EXPECT_EQ(Walk({"A", "B"}, batch), expected);
  }
}

// A row longer than a record is passed over and kept; the rows after it still come.
TEST_F(OldestStoredRowsTest, ARowTooLargeForARecordIsPassedOverAndKept) {
  Insert("2026/03/01 10:00:01", "A", "a1");
  file->Exec("insert into NotTransData values ('2026/03/01 10:00:02', 'A', zeroblob(10241))");
  Insert("2026/03/01 10:00:03", "A", "a3");
  EXPECT_EQ(Walk({"A"}, 1), (std::vector<std::string>{"A:a1", "A:a3"}));
  EXPECT_EQ(file->Scalar("select count(*) from NotTransData"), "3");
}

// Rows go only as read: one changed since (another program's VACUUM or edit) stays; of a
// row the port took in part, the rest is kept.
TEST_F(OldestStoredRowsTest, RowsAreRemovedOrCutOnlyWhileUnchanged) {
  Insert("2026/03/01 10:00:01", "A", "a1");
  Insert("2026/03/01 10:00:02", "A", "a2");
  Insert("2026/03/01 10:00:03", "A", "abcdef");
  std::vector<StoredRow> rows;
  ASSERT_EQ(store.ReadStoredRows("A", StoredRow{}, 10, DATA_ITEM_PAYLOAD, rows), 3);
  file->Exec("update NotTransData set ReceiveData = cast('changed' as blob) where ReceiveTime = '2026/03/01 10:00:02'");
  EXPECT_EQ(store.DeleteStoredRows({rows[0], rows[1]}), 1);
  EXPECT_EQ(store.KeepStoredRest(rows[2], 2), 1);
  EXPECT_EQ(file->Rows("select ReceiveTime, cast(ReceiveData as text) from NotTransData order by rowid"),
            (std::vector<std::vector<std::string>>{{"2026/03/01 10:00:02", "changed"},
                                                   {"2026/03/01 10:00:03", "cdef"}}));
}

}  // namespace
