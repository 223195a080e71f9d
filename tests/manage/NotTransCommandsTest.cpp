#include <algorithm>
#include <cstring>

#include <nlohmann/json.hpp>

#include "ManageFixture.h"

namespace {

using Args = std::vector<std::string>;

NotTransRecord Record(const std::string& time, const std::string& deviceId, const std::string& data) {
  NotTransRecord record{};
  std::strncpy(record.ReceiveTime, time.c_str(), sizeof record.ReceiveTime - 1);
  SetDeviceId(record.Item, deviceId);
  record.Item.Kind = DATA_USER;
  record.Item.Length = static_cast<std::int32_t>(data.size());
  std::memcpy(record.Item.Data, data.data(), data.size());
  return record;
}

std::size_t Lines(const std::string& text) {
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

// Fills NotTransData with records of two devices on two days.
class NotTransTest : public ManageTest {
 protected:
  void SetUp() override {
    ManageTest::SetUp();
    ASSERT_EQ(store.SaveNotTransData({Record("2015/03/09 14:05:00", "01ABCDEF", std::string("12\0003", 4)),
                                      Record("2015/03/09 23:59:59", "01ABCDEF", "line\r\nnext"),
                                      Record("2015/03/10 00:00:00", "01ABCDEF", "day two"),
                                      Record("2015/03/09 15:00:00", "0000BEEF", "other")}),
              1);
  }

  std::int64_t Count(const NotTransFilter& filter) {
    return store.VisitNotTransData(filter, [](const NotTransRecord&) { return true; });
  }
  std::int64_t CountAll() { return Count({"", "", "9999"}); }
};

}  // namespace

TEST_F(NotTransTest, QueryPrintsTextOrHexAndCountsTheMatches) {
  const CommandRun text =
      Run({"nottrans", "query", "--device", "01abcdef", "--from", "2015-03-09", "--to", "2015/3/9"});
  ASSERT_EQ(text.exitCode, 0) << text.err;
  EXPECT_NE(text.out.find("0       2015/03/09 14:05:00  01ABCDEF   12\n"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("1       2015/03/09 23:59:59  01ABCDEF   line\\r\\nnext\n"), std::string::npos) << text.out;
  EXPECT_EQ(text.out.find("day two"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("\n2 records"), std::string::npos) << text.out;

  const CommandRun hex = Run({"nottrans", "query", "--device", "01ABCDEF", "--to", "2015/03/09 14:05:00", "--hex"});
  ASSERT_EQ(hex.exitCode, 0) << hex.err;
  EXPECT_NE(hex.out.find("01ABCDEF   31320033\n"), std::string::npos) << hex.out;
  EXPECT_NE(hex.out.find("\n1 record"), std::string::npos) << hex.out;

  const CommandRun none = Run({"nottrans", "query", "--device", "12345678"});
  EXPECT_EQ(none.exitCode, 0);
  EXPECT_EQ(none.out, "0 records of device 12345678.\n");
}

TEST_F(NotTransTest, QueryJsonIsOneObjectPerLineWithTheBytesInHex) {
  const CommandRun run = Run({"nottrans", "query", "--device", "01ABCDEF", "--json"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  std::istringstream lines(run.out);
  std::vector<nlohmann::json> records;
  for (std::string line; std::getline(lines, line);) records.push_back(nlohmann::json::parse(line));
  ASSERT_EQ(records.size(), 3u) << run.out;
  EXPECT_EQ(records[0]["time"], "2015/03/09 14:05:00");
  EXPECT_EQ(records[0]["deviceId"], "01ABCDEF");
  EXPECT_EQ(records[0]["length"], 4);
  EXPECT_EQ(records[0]["data"], "31320033") << "a zero byte is data";
  EXPECT_EQ(records[1]["data"], "6C696E650D0A6E657874");
  EXPECT_EQ(Run({"nottrans", "query", "--device", "12345678", "--json"}).out, "") << "nothing but records";
}

TEST_F(NotTransTest, QueryListsEveryMatchBeyondTheDialogsBound) {
  // 260 payloads of 10000 bytes are stored as 10400 rows of 250 bytes: more than the
  // 10000 records the dialog shows at most.
  std::vector<NotTransRecord> batch(260, Record("2016/01/02 00:00:00", "0000CAFE", std::string(10000, 'y')));
  ASSERT_EQ(store.SaveNotTransData(batch), 1);
  ASSERT_EQ(Count({"0000CAFE", "", ""}), 10400);

  const CommandRun run = Run({"nottrans", "query", "--device", "0000CAFE"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(Lines(run.out), 10400u + 2);  // the header and the count too
  EXPECT_NE(run.out.find("\n10399   2016/01/02 00:00:00  0000CAFE   " + std::string(250, 'y') + "\n"),
            std::string::npos);
  EXPECT_NE(run.out.find("\n10400 records of device 0000CAFE.\n"), std::string::npos);
}

TEST_F(NotTransTest, DeleteRemovesOnlyTheMatches) {
  const CommandRun run = Run({"nottrans", "delete", "--device", "01ABCDEF", "--from", "2015/03/09 20:00:00"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(Count({"01ABCDEF", "", "9999"}), 1);
  EXPECT_EQ(Count({"0000BEEF", "", "9999"}), 1);

  ASSERT_EQ(Run({"nottrans", "delete", "--to", "2015-03-09"}).exitCode, 0);
  EXPECT_EQ(CountAll(), 0);
}

TEST_F(NotTransTest, BadConditionsAndDeleteAllWithoutYesExitTwoAndDeleteNothing) {
  const Args cases[] = {
      {"nottrans", "delete"},
      {"nottrans", "query"},
      {"nottrans", "delete", "--device", "1ABCDEF"},
      {"nottrans", "delete", "--device", ""},
      {"nottrans", "delete", "--from", "2015/13/01"},
      {"nottrans", "delete", "--from", "2015/02/29"},
      {"nottrans", "delete", "--to", "2015/03/09 24:00:00"},
      {"nottrans", "delete", "--to", "yesterday"},
      {"nottrans", "delete", "--from", "2015/03/09 14:05:00x"},
      {"nottrans", "delete", "--from", "2015/03/10", "--to", "2015/03/09"},
      {"nottrans", "delete-all"},
  };
  for (const Args& args : cases) {
    std::string text;
    for (const auto& arg : args) text += arg + " ";
    ExpectBadInput(Run(args), text);
    EXPECT_EQ(CountAll(), 4) << text;
  }
  // A leap day is a real date.
  EXPECT_EQ(Run({"nottrans", "delete", "--from", "2016/02/29"}).exitCode, 0);
  EXPECT_EQ(CountAll(), 4);

  const CommandRun all = Run({"nottrans", "delete-all", "--yes"});
  ASSERT_EQ(all.exitCode, 0) << all.err;
  EXPECT_EQ(CountAll(), 0);
}
