// The device history and the alarms of vantreld as an operator meets them: the program as
// a process with its own application directory, devices on real TCP connections, the
// history read back with `vantreld events` and straight from Info.db.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <ctime>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#include "FreePort.h"
#include "SqliteFile.h"
#include "TempDir.h"
#include "TestDevice.h"
#include "Vantreld.h"
#include "WaitFor.h"

namespace {

// The stored form of the local time `hours` hours from now (negative: ago).
std::string StoredTime(int hours) {
  const std::time_t when = std::time(nullptr) + static_cast<std::time_t>(hours) * 3600;
  std::tm local{};
  localtime_r(&when, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y/%m/%d %H:%M:%S", &local);
  return text;
}

class VantreldEventsTest : public ::testing::Test {
 protected:
  // Device 1 and 3 on COM7, which does not exist; device 3 bound to a phone number.
  void SetUp() override {
    ASSERT_EQ(vantreld.Run("settings set --ip 127.0.0.1 --port " + std::to_string(port) + " --delay 0"), 0)
        << vantreld.Errors();
    ASSERT_EQ(vantreld.Run("tunnel add 00000001 --port COM7"), 0) << vantreld.Errors();
    ASSERT_EQ(vantreld.Run("tunnel add 00000003 --port COM7"), 0) << vantreld.Errors();
    ASSERT_EQ(vantreld.Run("tunnel bind 00000003 --phone 13900000000"), 0) << vantreld.Errors();
  }

  void SetStored(const std::string& key, const std::string& value) {
    SqliteFile file(dir.File("Info.db"));
    file.Exec("delete from TabSetting where ParamKey = '" + key + "'");
    file.Exec("insert into TabSetting values ('" + key + "', '" + value + "')");
  }

  void Start() {
    vantreld.Start();
    ASSERT_TRUE(WaitFor([&] { return vantreld.Output().find(kStarted) != std::string::npos; })) << vantreld.Errors();
  }

  // Waits until the history holds `count` rows that `condition` selects.
  bool Recorded(const std::string& condition, int count = 1) {
    return WaitFor([&] {
      SqliteFile file(dir.File("Info.db"));
      return file.Scalar("select count(*) from DeviceEvents where " + condition) == std::to_string(count);
    });
  }

  struct Result {
    int code;
    std::string out, err;
  };
  Result Events(const std::string& arguments) {
    const std::size_t out = vantreld.Output().size(), err = vantreld.Errors().size();
    const int code = vantreld.Run("events " + arguments);
    return {code, vantreld.Output().substr(out), vantreld.Errors().substr(err)};
  }

  TempDir dir;
  Vantreld vantreld{dir.Path()};
  const std::uint16_t port = FreePort();
};

TEST_F(VantreldEventsTest, EachDeviceEventIsRecordedWithItsRealSourceAndQueried) {
  Start();
  // Registered from 127.0.0.2, then replaced by a connection from 127.0.0.1 that ends.
  auto first = std::make_unique<TestDevice>(port, "127.0.0.2");
  ASSERT_TRUE(first->Send(Registration(1)));
  ASSERT_TRUE(Recorded("DeviceID = '00000001' and Event = 'registered'"));
  auto second = std::make_unique<TestDevice>(port);
  ASSERT_TRUE(second->Send(Registration(1)));
  ASSERT_TRUE(first->WaitClosed());
  TestDevice unconfigured(port);
  ASSERT_TRUE(unconfigured.Send(Registration(2)));
  TestDevice wrongPhone(port);
  ASSERT_TRUE(wrongPhone.Send(Registration(3, "13911111111")));
  ASSERT_TRUE(wrongPhone.WaitClosed());
  second.reset();
  ASSERT_TRUE(Recorded("DeviceID = '00000001' and Event = 'offline'"));
  ASSERT_TRUE(Recorded("Event in ('unconfigured', 'refused', 'port-failed')", 3));

  const Result json = Events("--json");
  ASSERT_EQ(json.code, 0) << json.err;
  std::vector<nlohmann::json> events;
  std::size_t at = 0;
  for (std::size_t end; (end = json.out.find('\n', at)) != std::string::npos; at = end + 1)
    events.push_back(nlohmann::json::parse(json.out.substr(at, end - at)));
  std::vector<std::vector<std::string>> ofDevice1;
  std::map<std::string, nlohmann::json> others;
  for (const nlohmann::json& event : events) {
    EXPECT_TRUE(std::regex_match(event["time"].get<std::string>(),
                                 std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d)")))
        << event;
    if (event["deviceId"] == "00000001")
      ofDevice1.push_back({event["event"], event["address"].get<std::string>().substr(0, 10)});
    else
      others[event["event"]] = event;
  }
  const std::vector<std::vector<std::string>> expected = {
      {"registered", "127.0.0.2:"}, {"replaced", "127.0.0.2:"}, {"registered", "127.0.0.1:"}, {"offline", "127.0.0.1:"}};
  EXPECT_EQ(ofDevice1, expected) << json.out;
  EXPECT_EQ(others["unconfigured"]["deviceId"], "00000002") << json.out;
  EXPECT_EQ(others["refused"]["deviceId"], "00000003");
  EXPECT_NE(others["refused"]["detail"].get<std::string>().find("phone number"), std::string::npos);
  EXPECT_EQ(others["refused"]["address"].get<std::string>().rfind("127.0.0.1:", 0), 0u);
  EXPECT_NE(others["port-failed"]["detail"].get<std::string>().find("COM7"), std::string::npos);

  // The text: one device's events and their count; a bound that keeps the latest.
  const Result text = Events("--device 00000001");
  EXPECT_EQ(text.code, 0);
  EXPECT_NE(text.out.find("4 events of device 00000001."), std::string::npos) << text.out;
  const Result latest = Events("--device 00000001 --limit 2 --csv");
  EXPECT_EQ(latest.code, 0) << latest.err;
  EXPECT_TRUE(std::regex_match(latest.out, std::regex("time,deviceId,event,address,detail\n"
                                                      "[^\n]*,00000001,registered,[^\n]*\n"
                                                      "[^\n]*,00000001,offline,[^\n]*\n")))
      << latest.out;
  EXPECT_NE(latest.err.find("older events matched too"), std::string::npos) << latest.err;

  struct Case {
    const char* arguments;
    int code;
    const char* output;
  };
  for (const Case& row : std::vector<Case>{
           {"--from 2999-01-01", 0, "0 events from 2999/01/01 00:00:00."},
           {"--to 2000/1/1", 0, "0 events until 2000/01/01 23:59:59."},
           {"--from 2020-01-02 --to 2020-01-01", 2, ""},
           {"--device 12345", 2, ""},
           {"--from yesterday", 2, ""},
           {"--json --csv", 2, ""},
       }) {
    const Result run = Events(row.arguments);
    EXPECT_EQ(run.code, row.code) << row.arguments << "\n" << run.err;
    EXPECT_NE(run.out.find(row.output), std::string::npos) << row.arguments << "\n" << run.out;
  }
}

// Older than EventsKeepDays goes when the service starts; the rest stays.
TEST_F(VantreldEventsTest, EventsOlderThanTheDaysKeptAreDeleted) {
  SetStored("EventsKeepDays", "2");
  {
    SqliteFile file(dir.File("Info.db"));
    file.Exec("CREATE TABLE IF NOT EXISTS DeviceEvents (EventTime text, DeviceID text, Event text, Address text, "
              "Detail text)");
    for (const int hours : {-24 * 365 * 20, -72, -49, -47, -1})
      file.Exec("insert into DeviceEvents values ('" + StoredTime(hours) + "', 'AAAAAAAA', 'offline', '', '" +
                std::to_string(hours) + "')");
  }
  Start();
  ASSERT_TRUE(Recorded("DeviceID = 'AAAAAAAA'", 2));
  SqliteFile file(dir.File("Info.db"));
  EXPECT_EQ(file.Scalar("select group_concat(Detail) from (select Detail from DeviceEvents where DeviceID = "
                        "'AAAAAAAA' order by EventTime)"),
            "-47,-1");
}

// The program named by EventCommand, run without a shell: a device offline longer than
// OfflineAlarmSeconds, and its return.
TEST_F(VantreldEventsTest, TheAlarmProgramIsToldOfADeviceOfflineAndBack) {
  dir.Write("alarm", "#!/bin/sh\nenv | grep -E '^VANTREL_(EVENT|DEVICE_ID|ADDRESS|PORT|DETAIL|TIME)=' | sort > \"" + dir.Path() + "/$VANTREL_EVENT.tmp\"\nmv \"" +
                         dir.Path() + "/$VANTREL_EVENT.tmp\" \"" + dir.Path() + "/$VANTREL_EVENT\"\n");
  chmod(dir.File("alarm").c_str(), 0755);
  // Relative to the application directory.
  SetStored("EventCommand", "alarm");
  SetStored("OfflineAlarmSeconds", "1");
  Start();
  {
    TestDevice device(port, "127.0.0.2");
    ASSERT_TRUE(device.Send(Registration(1)));
    ASSERT_TRUE(Recorded("Event = 'registered'"));
  }
  ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(dir.File("offline")); })) << vantreld.Errors();
  TestDevice back(port);
  ASSERT_TRUE(back.Send(Registration(1)));
  ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(dir.File("online")); })) << vantreld.Errors();

  const std::string offline = dir.Read("offline");
  EXPECT_TRUE(std::regex_search(offline, std::regex("^VANTREL_ADDRESS=127\\.0\\.0\\.2:[0-9]+\n"
                                                    "VANTREL_DETAIL=offline for 1 s: its connection ended\n"
                                                    "VANTREL_DEVICE_ID=00000001\n"
                                                    "VANTREL_EVENT=offline\n"
                                                    "VANTREL_PORT=COM7\n"
                                                    "VANTREL_TIME=[-0-9T:+]+\n$")))
      << offline;
  EXPECT_TRUE(std::regex_search(dir.Read("online"), std::regex("VANTREL_ADDRESS=127\\.0\\.0\\.1:[0-9]+\n")))
      << dir.Read("online");
}

}  // namespace
