#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>

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

// Central European time while it lives (a zone with summer time, given by its rules, so
// no zone database is needed); the zone before it afterwards.
class ZoneForTest {
 public:
  ZoneForTest() {
    if (const char* zone = std::getenv("TZ")) m_before = zone;
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
  }
  ~ZoneForTest() {
    if (m_before)
      setenv("TZ", m_before->c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }

 private:
  std::optional<std::string> m_before;
};

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
  EXPECT_NE(text.out.find("0       2015/03/09 14:05:00  01ABCDEF   12\\x003\n"), std::string::npos) << text.out;
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

  const CommandRun all = Run({"nottrans", "query"});
  ASSERT_EQ(all.exitCode, 0) << all.err;
  EXPECT_NE(all.out.find("0000BEEF   other\n"), std::string::npos) << all.out;
  EXPECT_NE(all.out.find("\n4 records.\n"), std::string::npos) << all.out;
}

// The text is the whole record, one line, and only printable UTF-8: whatever a device
// sends cannot cut the line short, break it, or drive the terminal or the journal.
TEST_F(NotTransTest, QueryTextShowsEveryByteThatIsNotPrintableUtf8AsAnEscape) {
  const struct {
    std::string data;
    std::string shown;
  } cases[] = {
      {std::string("A\0B\0", 4), "A\\x00B\\x00"},
      {"tab\there\\", "tab\\there\\\\"},
      {"\x1b[2J\x7f", "\\x1B[2J\\x7F"},
      {"caf\xc3\xa9 \xe6\xb0\xb4 \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe6\xb0\xb4 \xf0\x9f\x98\x80"},
      {"\xff\xfe\x80", "\\xFF\\xFE\\x80"},
      {"\xc3", "\\xC3"},                                  // cut short
      {"\xc0\xaf \xe0\x80\xaf", "\\xC0\\xAF \\xE0\\x80\\xAF"},  // overlong forms
      {"\xed\xa0\x80", "\\xED\\xA0\\x80"},                    // a surrogate
      {"\xf4\x90\x80\x80", "\\xF4\\x90\\x80\\x80"},           // past U+10FFFF
      {"\xc2\x85|\xe2\x80\xa8|\xe2\x80\xae", "\\xC2\\x85|\\xE2\\x80\\xA8|\\xE2\\x80\\xAE"},  // NEL, LS, RLO
  };
  std::vector<NotTransRecord> records;
  for (const auto& row : cases) records.push_back(Record("2020/01/01 00:00:00", "0000FACE", row.data));
  ASSERT_EQ(store.SaveNotTransData(records), 1);

  const CommandRun run = Run({"nottrans", "query", "--device", "0000FACE"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  std::istringstream lines(run.out);
  std::string line;
  std::getline(lines, line);  // the header
  for (const auto& row : cases) {
    ASSERT_TRUE(std::getline(lines, line)) << run.out;
    EXPECT_EQ(line.substr(line.find("0000FACE   ") + 11), row.shown) << line;
  }
}

TEST_F(NotTransTest, QueryJsonIsOneObjectPerLineWithTheBytesInHex) {
  const ZoneForTest zone;
  const CommandRun run = Run({"nottrans", "query", "--device", "01ABCDEF", "--json"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  std::istringstream lines(run.out);
  std::vector<nlohmann::json> records;
  for (std::string line; std::getline(lines, line);) records.push_back(nlohmann::json::parse(line));
  ASSERT_EQ(records.size(), 3u) << run.out;
  EXPECT_EQ(records[0]["time"], "2015-03-09T14:05:00+01:00");
  EXPECT_EQ(records[0]["deviceId"], "01ABCDEF");
  EXPECT_EQ(records[0]["length"], 4);
  EXPECT_EQ(records[0]["data"], "31320033") << "a zero byte is data";
  EXPECT_EQ(records[1]["data"], "6C696E650D0A6E657874");
  EXPECT_EQ(Run({"nottrans", "query", "--device", "12345678", "--json"}).out, "") << "nothing but records";
}

// Times for scripts carry the offset the local clock had then, summer time included; text
// keeps the stored form.
TEST_F(NotTransTest, JsonAndCsvTimesAreIso8601WithTheZoneOffsetOfTheirDay) {
  const ZoneForTest zone;
  ASSERT_EQ(store.SaveNotTransData({Record("2015/07/01 12:00:00", "0000D00D", "summer"),
                                    Record("2015/12/01 12:00:00", "0000D00D", "winter")}),
            1);
  const CommandRun json = Run({"nottrans", "query", "--device", "0000D00D", "--json"});
  ASSERT_EQ(json.exitCode, 0) << json.err;
  EXPECT_NE(json.out.find("\"time\":\"2015-07-01T12:00:00+02:00\""), std::string::npos) << json.out;
  EXPECT_NE(json.out.find("\"time\":\"2015-12-01T12:00:00+01:00\""), std::string::npos) << json.out;
  const CommandRun csv = Run({"nottrans", "query", "--device", "0000D00D", "--csv"});
  EXPECT_NE(csv.out.find("\n2015-07-01T12:00:00+02:00,"), std::string::npos) << csv.out;
  const CommandRun text = Run({"nottrans", "query", "--device", "0000D00D"});
  EXPECT_NE(text.out.find("2015/07/01 12:00:00  0000D00D   summer\n"), std::string::npos) << text.out;
}

TEST_F(NotTransTest, QueryCsvHasAHeaderAndOneQuotedWhereNeededLinePerRecord) {
  const ZoneForTest zone;
  ASSERT_EQ(store.SaveNotTransData({Record("2015/03/11 08:00:00", "0000C5C5", "a,\"b\" ")}), 1);
  const CommandRun run = Run({"nottrans", "query", "--from", "2015/03/09 23:00:00", "--csv"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out,
            "time,deviceId,length,hex,text\n"
            "2015-03-09T23:59:59+01:00,01ABCDEF,10,6C696E650D0A6E657874,line\\r\\nnext\n"
            "2015-03-10T00:00:00+01:00,01ABCDEF,7,6461792074776F,day two\n"
            "2015-03-11T08:00:00+01:00,0000C5C5,6,612C22622220,\"a,\"\"b\"\" \"\n");
  EXPECT_EQ(Run({"nottrans", "query", "--device", "12345678", "--csv"}).out, "time,deviceId,length,hex,text\n")
      << "the header alone when nothing matches";
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

TEST_F(NotTransTest, DeleteRemovesOnlyTheMatchesAndSaysHowMany) {
  const CommandRun run = Run({"nottrans", "delete", "--device", "01ABCDEF", "--from", "2015/03/09 20:00:00"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out, "Deleted 2 records of device 01ABCDEF from 2015/03/09 20:00:00.\n");
  EXPECT_EQ(Count({"01ABCDEF", "", "9999"}), 1);
  EXPECT_EQ(Count({"0000BEEF", "", "9999"}), 1);

  const CommandRun none = Run({"nottrans", "delete", "--device", "12345678"});
  EXPECT_EQ(none.out, "Deleted 0 records of device 12345678.\n");
  const CommandRun rest = Run({"nottrans", "delete", "--to", "2015-03-09"});
  ASSERT_EQ(rest.exitCode, 0);
  EXPECT_EQ(rest.out, "Deleted 2 records until 2015/03/09 23:59:59.\n");
  EXPECT_EQ(CountAll(), 0);
}

TEST_F(NotTransTest, BadConditionsAndDeleteAllWithoutYesExitTwoAndDeleteNothing) {
  const Args cases[] = {
      {"nottrans", "delete"},
      {"nottrans", "query", "--json", "--hex"},
      {"nottrans", "query", "--csv", "--hex"},
      {"nottrans", "query", "--csv", "--json"},
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
  EXPECT_EQ(all.out, "Deleted 4 records: every record.\n");
  EXPECT_EQ(CountAll(), 0);
}
