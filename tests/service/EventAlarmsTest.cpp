// The alarms as an operator's script meets them: the real program started without a shell,
// its environment written to files the test reads, the limits small so that the test
// stays short.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "ProcessSingletons.h"
#include "TempDir.h"
#include "WaitFor.h"
#include "core/CTunnelTable.h"
#include "model/SettingInfo.h"
#include "service/CEventAlarms.h"

namespace {

namespace Name = DeviceEventName;

// The six variables of the alarms in a file the script wrote ("NAME=value" lines).
std::map<std::string, std::string> Variables(const std::string& text) {
  static const std::set<std::string> kNames = {"VANTREL_EVENT",  "VANTREL_DEVICE_ID", "VANTREL_ADDRESS",
                                               "VANTREL_PORT",   "VANTREL_DETAIL",    "VANTREL_TIME"};
  std::map<std::string, std::string> variables;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t end = std::min(text.find('\n', at), text.size());
    const std::string line = text.substr(at, end - at);
    const std::size_t equals = line.find('=');
    if (equals != std::string::npos && kNames.count(line.substr(0, equals)) > 0)
      variables[line.substr(0, equals)] = line.substr(equals + 1);
    at = end + 1;
  }
  return variables;
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class EventAlarmsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetProcessSingletons();
    for (const char* id : {"00000001", "00000002"}) {
      TunnelInfo tunnel;
      tunnel.DeviceID = id;
      tunnel.SerialNo = "COM5";
      tunnel.BaudRate = "9600";
      tunnel.DateBit = "8";
      tunnel.StopBit = "1";
      tunnel.Parity = "None";
      CTunnelTable::Instance().Add(tunnel);
    }
  }
  void TearDown() override { ResetProcessSingletons(); }

  // A script named `name` in the test's directory, made executable, used as EventCommand.
  void UseScript(const std::string& body, std::int32_t offlineSeconds = 1) {
    dir.Write("alarm.sh", "#!/bin/sh\n" + body);
    chmod(dir.File("alarm.sh").c_str(), 0755);
    SettingInfo settings;
    settings.EventCommand = dir.File("alarm.sh");
    settings.OfflineAlarmSeconds = offlineSeconds;
    ReplaceSettings(settings);
  }

  // One file per alarm run: its event and subject in the name, the environment inside.
  void WriteEnvironment() {
    UseScript("f=\"" + dir.Path() + "/$VANTREL_EVENT-$VANTREL_DEVICE_ID$VANTREL_PORT\"\n"
              "env > \"$f.tmp\" && mv \"$f.tmp\" \"$f\"\n"
              "[ \"$VANTREL_EVENT\" = store-limit-reached ] && exit 3\nexit 0\n");
  }

  bool Ran(const std::string& file) {
    return WaitFor([&] { return std::filesystem::exists(dir.File(file)); });
  }

  static DeviceEvent Event(const char* event, const std::string& id, const std::string& port = "COM5") {
    return {"", id, event, id.empty() ? "" : "127.0.0.1:40112", std::string("it ") + event, port};
  }

  TempDir dir;
};

TEST_F(EventAlarmsTest, TheProgramGetsWhatHappenedInItsEnvironment) {
  WriteEnvironment();
  testing::internal::CaptureStderr();
  {
    CEventAlarms alarms(CEventAlarms::Limits{std::chrono::milliseconds(100), 4, 8, std::chrono::seconds(20)});
    alarms.Observe(Event(Name::kOffline, "00000001"));
    ASSERT_TRUE(Ran("offline-00000001COM5"));
    alarms.Observe(Event(Name::kRegistered, "00000001"));
    ASSERT_TRUE(Ran("online-00000001COM5"));
    alarms.Observe(Event(Name::kPortFailed, ""));
    ASSERT_TRUE(Ran("port-failed-COM5"));
    alarms.Observe(Event(Name::kPortRecovered, ""));
    ASSERT_TRUE(Ran("port-recovered-COM5"));
    alarms.Observe({"", "", Name::kStoreLimitReached, "", "the store is full", ""});
    ASSERT_TRUE(Ran("store-limit-reached-"));
    // Its exit code is told once it has ended: the alarms wait for it as they go.
  }
  const std::string errors = testing::internal::GetCapturedStderr();

  const std::regex isoTime(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d)");
  struct Expected {
    const char* file;
    std::map<std::string, std::string> variables;  // VANTREL_TIME apart
  };
  const std::vector<Expected> table = {
      {"offline-00000001COM5",
       {{"VANTREL_EVENT", "offline"}, {"VANTREL_DEVICE_ID", "00000001"}, {"VANTREL_ADDRESS", "127.0.0.1:40112"},
        {"VANTREL_PORT", "COM5"}, {"VANTREL_DETAIL", "offline for 1 s: it offline"}}},
      {"port-failed-COM5",
       {{"VANTREL_EVENT", "port-failed"}, {"VANTREL_DEVICE_ID", ""}, {"VANTREL_ADDRESS", ""}, {"VANTREL_PORT", "COM5"},
        {"VANTREL_DETAIL", "failed for 0.1 s: it port-failed"}}},
      {"store-limit-reached-",
       {{"VANTREL_EVENT", "store-limit-reached"}, {"VANTREL_DEVICE_ID", ""}, {"VANTREL_ADDRESS", ""},
        {"VANTREL_PORT", ""}, {"VANTREL_DETAIL", "the store is full"}}},
  };
  for (const Expected& row : table) {
    SCOPED_TRACE(row.file);
    std::map<std::string, std::string> variables = Variables(dir.Read(row.file));
    EXPECT_TRUE(std::regex_match(variables["VANTREL_TIME"], isoTime)) << variables["VANTREL_TIME"];
    variables.erase("VANTREL_TIME");
    EXPECT_EQ(variables, row.variables);
  }
  const auto online = Variables(dir.Read("online-00000001COM5"));
  EXPECT_EQ(online.at("VANTREL_EVENT"), "online");
  EXPECT_NE(online.at("VANTREL_DETAIL").find("back online from 127.0.0.1:40112"), std::string::npos);
  EXPECT_EQ(Variables(dir.Read("port-recovered-COM5")).at("VANTREL_EVENT"), "port-recovered");
  EXPECT_NE(errors.find("alarm program " + dir.File("alarm.sh") + " (store-limit-reached) exited with code 3"),
            std::string::npos)
      << errors;
}

// One back within OfflineAlarmSeconds raises nothing; nor does a device without a tunnel.
// With one program at a time, in the order the alarms came due, the first device's alarm
// would have ended before the last one's began.
TEST_F(EventAlarmsTest, ADeviceBackWithinTheGraceRaisesNothing) {
  WriteEnvironment();
  {
    CEventAlarms alarms(CEventAlarms::Limits{std::chrono::milliseconds(100), 1, 8, std::chrono::seconds(20)});
    alarms.Observe(Event(Name::kOffline, "00000000"));  // no tunnel
    alarms.Observe(Event(Name::kOffline, "00000001"));
    alarms.Observe(Event(Name::kReplaced, "00000002"));
    alarms.Observe(Event(Name::kOffline, "00000002"));
    alarms.Observe(Event(Name::kRegistered, "00000001"));
    ASSERT_TRUE(Ran("offline-00000002COM5"));
  }
  for (const char* file : {"offline-00000000COM5", "offline-00000001COM5", "online-00000001COM5"})
    EXPECT_FALSE(std::filesystem::exists(dir.File(file))) << file;
}

TEST_F(EventAlarmsTest, AtMostSoManyRunTheRestWaitOrAreDroppedAndEachIsEndedAfterItsLimit) {
  // Each run names itself and the child it starts, then waits for that child for ever.
  UseScript("sleep 60 &\necho $! > \"" + dir.Path() + "/child-$$\"\necho $$ > \"" + dir.Path() +
            "/started-$$\"\nwait\n");
  const auto started = [&] {
    std::vector<pid_t> pids;
    for (const auto& entry : std::filesystem::directory_iterator(dir.Path()))
      if (entry.path().filename().string().rfind("started-", 0) == 0)
        pids.push_back(std::stoi(entry.path().filename().string().substr(8)));
    return pids;
  };
  // A zombie has ended: one whose parent was ended waits for whoever adopts it.
  const auto alive = [](pid_t pid) {
    const std::string stat = ReadText("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t state = stat.rfind(") ");
    return state != std::string::npos && stat.compare(state + 2, 1, "Z") != 0;
  };
  testing::internal::CaptureStderr();
  std::size_t mostAlive = 0;
  const auto watch = [&](std::size_t starts, bool ended) {
    return WaitFor([&] {
      const std::vector<pid_t> pids = started();
      mostAlive = std::max<std::size_t>(mostAlive, std::count_if(pids.begin(), pids.end(), alive));
      return pids.size() == starts && (!ended || std::none_of(pids.begin(), pids.end(), alive));
    });
  };
  {
    // Two run; the third waits while they do, and a fourth finds the queue full.
    CEventAlarms alarms(CEventAlarms::Limits{std::chrono::milliseconds(100), 2, 1, std::chrono::seconds(3)});
    const DeviceEvent full{"", "", Name::kStoreLimitReached, "", "full", ""};
    alarms.Observe(full);
    EXPECT_TRUE(watch(1, false));
    alarms.Observe(full);
    EXPECT_TRUE(watch(2, false));
    alarms.Observe(full);
    alarms.Observe(full);
    // Until the one that waited has run and all have been ended.
    EXPECT_TRUE(watch(3, true));
  }
  const std::string errors = testing::internal::GetCapturedStderr();
  EXPECT_EQ(mostAlive, 2u);
  EXPECT_EQ(started().size(), 3u);
  // The program's own children went with it.
  for (const pid_t pid : started()) {
    const pid_t child = std::stoi(dir.Read("child-" + std::to_string(pid)));
    EXPECT_FALSE(alive(child)) << child;
  }
  EXPECT_NE(errors.find("alarms: 1 not run: 2 alarm programs were running and 1 more waiting"), std::string::npos)
      << errors;
  const std::size_t first = errors.find("(store-limit-reached) ran longer than 3 s and was ended");
  EXPECT_NE(first, std::string::npos) << errors;
}

}  // namespace
