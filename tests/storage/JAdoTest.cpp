#include <gtest/gtest.h>
#include <sqlite3.h>

#include <fstream>
#include <string>
#include <vector>

#include "StorageTestSupport.h"
#include "TestAppDirectory.h"
#include "storage/JAdo.h"

namespace {

class JAdoTest : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) {
    return TestAppDirectory().Path() + "/" + ::testing::UnitTest::GetInstance()->current_test_info()->name() + name;
  }
  JAdo ado;
};

}  // namespace

TEST_F(JAdoTest, EngineErrorsBecomeTwoLines) {
  ASSERT_EQ(ado.OpenAccessFile(Path(".db")), 0);
  DebugLines lines;
  EXPECT_EQ(ado.ExecuteCommand("insert into Nowhere values (?)", {SqlText("1")}), -1);
  EXPECT_EQ(lines.Lines(), (std::vector<std::string>{"[MSG]1\n", "[MSG]no such table: Nowhere\n"}));
  EXPECT_EQ(ado.LastError(), SQLITE_ERROR);
  EXPECT_TRUE(ado.IsConnected());

  // A second statement in one text is refused, not silently dropped.
  EXPECT_EQ(ado.ExecuteCommand("create table T (A text); drop table T"), -1);
  EXPECT_EQ(lines.Lines().size(), 4u);
  // Values must match the placeholders.
  EXPECT_EQ(ado.ExecuteCommand("create table T (A text)", {SqlText("x")}), -1);

  ASSERT_EQ(ado.ExecuteCommand("create table T (A text)"), 0);
  EXPECT_EQ(ado.ExecuteCommand("delete from T"), 0) << "deleting nothing is not a failure";
  EXPECT_EQ(lines.Lines().size(), 6u);
}

TEST_F(JAdoTest, ClosedConnectionDoesNothing) {
  DebugLines lines;
  EXPECT_EQ(ado.ExecuteCommand("create table T (A text)"), 0);
  EXPECT_EQ(ado.ExecuteQuery("select 1"), nullptr);
  EXPECT_FALSE(ado.BeginTrans());
  EXPECT_EQ(ado.CloseConnection(), 0);
  EXPECT_TRUE(lines.Lines().empty());
}

TEST_F(JAdoTest, OpenFailsOnWhatIsNotADatabaseAndRecovers) {
  {
    std::ofstream garbage(Path(".garbage"));
    garbage << std::string(4096, 'x');
  }
  ASSERT_EQ(ado.OpenAccessFile(Path(".db")), 0);
  DebugLines lines;
  EXPECT_EQ(ado.OpenAccessFile(Path(".garbage")), -1);
  EXPECT_FALSE(ado.IsConnected()) << "the first connection is closed before the next open";
  EXPECT_EQ(lines.Lines().size(), 2u);
  EXPECT_EQ(lines.Lines()[0], "[MSG]" + std::to_string(SQLITE_NOTADB) + "\n");
  EXPECT_EQ(ado.OpenAccessFile(Path("/missing/x.db")), -1);
  EXPECT_EQ(ado.OpenAccessFile(Path(".db")), 0);
  EXPECT_TRUE(ado.IsConnected());
}

TEST_F(JAdoTest, FieldValues) {
  ASSERT_EQ(ado.OpenAccessFile(Path(".db")), 0);
  ASSERT_EQ(ado.ExecuteCommand("create table T (Name text, Small integer, Other)"), 0);
  ASSERT_EQ(ado.ExecuteCommand("insert into T values (?, 8, 2.5)", {SqlText("  word \t")}), 1);
  ASSERT_EQ(ado.ExecuteCommand("insert into T values (null, 1099511627776, ?)", {SqlText("12")}), 1);
  ASSERT_EQ(ado.ExecuteCommand("insert into T values ('', -5, ?)",
                               {SqlBlob(reinterpret_cast<const unsigned char*>("a\0 b "), 5)}),
            1);

  struct Row {
    std::string name;
    int small;
    std::string smallAsText;
    int otherAsInt;
    std::string otherBytes;
  };
  std::vector<Row> rows;
  auto result = ado.ExecuteQuery("select * from T order by rowid");
  ASSERT_NE(result, nullptr);
  while (result->MoveNext()) {
    rows.push_back({result->GetFieldText("Name"), result->GetFieldInt("SMALL"), result->GetFieldText("Small"),
                    result->GetFieldInt("Other"), result->GetFieldBytes("Other")});
  }
  EXPECT_FALSE(result->Failed());
  ASSERT_EQ(rows.size(), 3u);
  // Text trimmed; a null reads empty; numbers read as text give nothing.
  EXPECT_EQ(rows[0].name, "word");
  EXPECT_EQ(rows[1].name, "");
  EXPECT_EQ(rows[0].smallAsText, "");
  // Integers that fit 32 bits; anything else reads 0.
  EXPECT_EQ(rows[0].small, 8);
  EXPECT_EQ(rows[1].small, 0);
  EXPECT_EQ(rows[2].small, -5);
  EXPECT_EQ(rows[0].otherAsInt, 0);
  EXPECT_EQ(rows[1].otherAsInt, 0);
  // Bytes of blobs and texts exactly, zero bytes and blanks included.
  EXPECT_EQ(rows[1].otherBytes, "12");
  EXPECT_EQ(rows[2].otherBytes, std::string("a\0 b ", 5));
  EXPECT_EQ(rows[0].otherBytes, "");
  result.reset();

  DebugLines lines;
  result = ado.ExecuteQuery("select * from T");
  ASSERT_TRUE(result->MoveNext());
  EXPECT_EQ(result->GetFieldText("Missing"), "");
  EXPECT_TRUE(result->Failed());
  EXPECT_FALSE(result->MoveNext());
  EXPECT_EQ(lines.Lines().size(), 2u);
}

TEST_F(JAdoTest, RollbackUndoesTheTransaction) {
  ASSERT_EQ(ado.OpenAccessFile(Path(".db")), 0);
  ASSERT_EQ(ado.ExecuteCommand("create table T (A text)"), 0);
  ASSERT_TRUE(ado.BeginTrans());
  ASSERT_EQ(ado.ExecuteCommand("insert into T values ('x')"), 1);
  ASSERT_TRUE(ado.RollbackTrans());
  ASSERT_TRUE(ado.BeginTrans());
  ASSERT_EQ(ado.ExecuteCommand("insert into T values ('y')"), 1);
  ASSERT_TRUE(ado.CommitTrans());
  auto result = ado.ExecuteQuery("select group_concat(A) as Values_ from T");
  ASSERT_TRUE(result->MoveNext());
  EXPECT_EQ(result->GetFieldText("Values_"), "y");
}
