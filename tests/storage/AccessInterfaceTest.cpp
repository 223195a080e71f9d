#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "SqliteFile.h"
#include "StorageTestSupport.h"
#include "TestAppDirectory.h"
#include "platform/Notice.h"
#include "storage/CAccessInterface.h"

namespace {

using Rows = std::vector<std::vector<std::string>>;

// Each test works on a file of its own in the test program's application directory.
class AccessInterfaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    name = std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + ".db";
    path = TestAppDirectory().Path() + "/" + name;
    ASSERT_EQ(store.OpenDatabase(name), 1);
  }

  // Reads the settings into `settings` with `value` stored under `key`, then stores the key
  // empty again; returns the problems the reading reported.
  std::vector<std::string> ReadWithStored(SqliteFile& file, const std::string& key, const std::string& value,
                                          SettingInfo& settings) {
    file.Exec("update TabSetting set ParamValue = '" + value + "' where ParamKey = '" + key + "'");
    std::vector<std::string> problems;
    store.LoadSettings(settings, &problems);
    file.Exec("update TabSetting set ParamValue = '' where ParamKey = '" + key + "'");
    return problems;
  }

  std::string name;
  std::string path;
  CAccessInterface store;
};

const TunnelInfo kTunnelA{"0000000A", "COM3", "9600", "8", "1", "None", "first"};
const TunnelInfo kTunnelB{"0000000B", "COM4", "115200", "7", "2", "Even", "second"};

const Rows kDefaultSettingRows{{"LocalIp", ""},
                               {"LocalPort", ""},
                               {"BootAutoStart", ""},
                               {"AutoStartSimulation", ""},
                               {"FilterHearbeat", ""},
                               {"Escape", ""},
                               {"DelayComRead", "50"},
                               {"NotTransMaxBytes", "1073741824"},
                               {"AllowedNetworks", ""},
                               {"RefuseUnconfigured", "0"},
                               {"MaxConnectionsPerAddress", "0"},
                               {"TlsPort", "0"},
                               {"TlsCertificate", ""},
                               {"TlsKey", ""},
                               {"TlsClientCa", ""},
                               {"TlsOnly", "0"},
                               {"MetricsAddress", ""},
                               {"EventsKeepDays", "90"},
                               {"EventCommand", ""},
                               {"OfflineAlarmSeconds", "300"},
                               {"ResendStored", "0"}};

}  // namespace

TEST_F(AccessInterfaceTest, NewFileGetsEveryTableAndTheSettingRows) {
  SqliteFile file(path);
  EXPECT_EQ(file.Rows("select name from sqlite_master order by name"),
            (Rows{{"DeviceEvents"},
                  {"DeviceEventsDeviceTime"},
                  {"NotTransData"},
                  {"NotTransDataDeviceTime"},
                  {"TabSetting"},
                  {"TunnelBinding"},
                  {"TunnelInfo"},
                  {"sqlite_autoindex_TunnelBinding_1"}}));
  EXPECT_EQ(file.Rows("select ParamKey, ParamValue from TabSetting order by rowid"), kDefaultSettingRows);
  EXPECT_EQ(file.Scalar("pragma journal_mode"), "wal");

  // The table exists now: nothing is added.
  EXPECT_EQ(store.InitSettingTable(), 0);
  EXPECT_EQ(file.Rows("select ParamKey, ParamValue from TabSetting order by rowid"), kDefaultSettingRows);

  // A file without the settings table gets it with its rows.
  file.Exec("DROP TABLE TabSetting");
  EXPECT_EQ(store.InitSettingTable(), 1);
  EXPECT_EQ(file.Rows("select ParamKey, ParamValue from TabSetting order by rowid"), kDefaultSettingRows);
}

TEST_F(AccessInterfaceTest, InitSettingTableAddsOnlyTheMissingRow) {
  SqliteFile file(path);
  file.Exec("update TabSetting set ParamValue = '7000' where ParamKey = 'LocalPort'");
  file.Exec("delete from TabSetting where ParamKey = 'Escape'");
  EXPECT_EQ(store.InitSettingTable(), 0);
  EXPECT_EQ(file.Scalar("select count(*) from TabSetting"), std::to_string(kDefaultSettingRows.size()));
  EXPECT_EQ(file.Rows("select ParamValue from TabSetting where ParamKey = 'Escape'"), (Rows{{""}}));
  EXPECT_EQ(file.Scalar("select ParamValue from TabSetting where ParamKey = 'LocalPort'"), "7000");
}

TEST_F(AccessInterfaceTest, SettingsRoundTrip) {
  // Empty stored values keep the members as they were; DelayComRead reads its 50.
  SettingInfo loaded;
  loaded.LocalPort = 7;
  loaded.DelayComRead = 80;
  EXPECT_EQ(store.LoadSettings(loaded), 1);
  EXPECT_EQ(loaded.LocalPort, 7);
  EXPECT_EQ(loaded.DelayComRead, 50);
  EXPECT_FALSE(loaded.FilterHearbeat);

  SettingInfo saved;
  saved.LocalIp = "10.1.2.3";
  saved.LocalPort = 5000;
  saved.FilterHearbeat = true;
  saved.DelayComRead = 120;
  saved.NotTransMaxBytes = 5000000000;
  saved.AllowedNetworks = "10.0.0.0/8,203.0.113.7/32";
  saved.RefuseUnconfigured = true;
  saved.MaxConnectionsPerAddress = 40;
  saved.TlsPort = 5002;
  saved.TlsCertificate = "tls/server.pem";
  saved.TlsKey = "/etc/vantrel/server.key";
  saved.TlsClientCa = "tls/devices-ca.pem";
  saved.TlsOnly = true;
  saved.MetricsAddress = "127.0.0.1:9464";
  saved.EventsKeepDays = 30;
  saved.EventCommand = "/usr/local/bin/page-operator";
  saved.OfflineAlarmSeconds = 600;
  saved.ResendStored = true;
  ASSERT_EQ(store.SaveSettings(saved), 1);
  SqliteFile file(path);
  EXPECT_EQ(file.Rows("select ParamKey, ParamValue from TabSetting order by rowid"),
            (Rows{{"LocalIp", "10.1.2.3"},
                  {"LocalPort", "5000"},
                  {"BootAutoStart", "0"},
                  {"AutoStartSimulation", "0"},
                  {"FilterHearbeat", "1"},
                  {"Escape", "0"},
                  {"DelayComRead", "120"},
                  {"NotTransMaxBytes", "5000000000"},
                  {"AllowedNetworks", "10.0.0.0/8,203.0.113.7/32"},
                  {"RefuseUnconfigured", "1"},
                  {"MaxConnectionsPerAddress", "40"},
                  {"TlsPort", "5002"},
                  {"TlsCertificate", "tls/server.pem"},
                  {"TlsKey", "/etc/vantrel/server.key"},
                  {"TlsClientCa", "tls/devices-ca.pem"},
                  {"TlsOnly", "1"},
                  {"MetricsAddress", "127.0.0.1:9464"},
                  {"EventsKeepDays", "30"},
                  {"EventCommand", "/usr/local/bin/page-operator"},
                  {"OfflineAlarmSeconds", "600"},
                  {"ResendStored", "1"}}));
  SettingInfo reloaded;
  store.LoadSettings(reloaded);
  EXPECT_EQ(reloaded, saved);

  // GetSetting never opens: a closed store finds nothing and leaves the value alone.
  store.CloseDatabase();
  std::string value = "kept";
  EXPECT_FALSE(store.GetSetting("LocalPort", value));
  EXPECT_EQ(value, "kept");
}

TEST_F(AccessInterfaceTest, BindingsRoundTripAndOneWithoutChecksHasNoRow) {
  std::vector<TunnelBinding> bindings;
  ASSERT_EQ(store.LoadBindings(bindings), 1);
  EXPECT_TRUE(bindings.empty());
  ASSERT_EQ(store.SaveBinding({"0000000B", "it's", "10.0.0.0/8"}), 1);
  ASSERT_EQ(store.SaveBinding({"0000000A", "555", ""}), 1);
  ASSERT_EQ(store.SaveBinding({"0000000A", "", "192.168.0.0/16"}), 1);
  ASSERT_EQ(store.LoadBindings(bindings), 1);
  EXPECT_EQ(bindings,
            (std::vector<TunnelBinding>{{"0000000A", "", "192.168.0.0/16"}, {"0000000B", "it's", "10.0.0.0/8"}}));

  ASSERT_EQ(store.SaveBinding({"0000000A", "", ""}), 1);
  ASSERT_EQ(store.DeleteBinding("0000000B"), 1);
  ASSERT_EQ(store.DeleteBinding("0000000C"), 1) << "an absent row is no failure";
  bindings.clear();
  ASSERT_EQ(store.LoadBindings(bindings), 1);
  EXPECT_TRUE(bindings.empty());
  // Deleting or changing a tunnel alone leaves its binding to the callers that know why.
  ASSERT_EQ(store.SaveBinding({"0000000A", "1", ""}), 1);
  ASSERT_EQ(store.AddTunnel(kTunnelA), 1);
  ASSERT_EQ(store.ModifyTunnel(kTunnelA), 1);
  ASSERT_EQ(store.LoadBindings(bindings), 1);
  EXPECT_EQ(bindings.size(), 1u);
}

// A file an older program made has no TunnelBinding: it gets the table, and TunnelInfo,
// TabSetting and NotTransData stay as they were; a copy that may only be read is used
// without it.
TEST_F(AccessInterfaceTest, AnOlderFileGetsTheBindingTableOrIsReadWithoutIt) {
  ASSERT_EQ(store.AddTunnel(kTunnelA), 1);
  store.CloseDatabase();
  {
    SqliteFile file(path);
    file.Exec("DROP TABLE TunnelBinding");
    file.Exec("PRAGMA journal_mode=DELETE");
  }
  const std::string older = TestAppDirectory().Path() + "/Older.db";
  std::filesystem::copy_file(path, older);
  std::filesystem::permissions(older, std::filesystem::perms::owner_read);

  ASSERT_EQ(store.OpenDatabase(name), 1);
  SqliteFile file(path);
  EXPECT_EQ(file.Rows("select sql from sqlite_master where name = 'TunnelBinding'"),
            (Rows{{"CREATE TABLE TunnelBinding (DeviceID text primary key, Phone text, Networks text)"}}));
  std::vector<TunnelInfo> tunnels;
  ASSERT_EQ(store.LoadTunnels(tunnels), 1);
  EXPECT_EQ(tunnels, std::vector<TunnelInfo>{kTunnelA});

  std::vector<TunnelBinding> bindings;
  CAccessInterface looker;
  ASSERT_EQ(looker.OpenDatabaseReadOnly("Older.db"), 1);
  EXPECT_EQ(looker.LoadBindings(bindings), 1);
  EXPECT_TRUE(bindings.empty());

  // (vantreld run as another user covers this where the tests run as root.)
  if (geteuid() == 0) GTEST_SKIP() << "root writes a read-only file";
  CAccessInterface reader;
  ASSERT_EQ(reader.OpenDatabase("Older.db"), 1) << reader.LastFailureText();
  EXPECT_TRUE(reader.IsReadOnly());
  EXPECT_EQ(reader.LoadBindings(bindings), 1);
  EXPECT_TRUE(bindings.empty());
}

TEST_F(AccessInterfaceTest, WhoMayBeADeviceReadsItsStoredValuesOrTheDefaults) {
  SqliteFile file(path);
  struct Case {
    const char* key;
    const char* value;
    std::string problem;  // empty: read as stored
  };
  const Case cases[] = {
      {"AllowedNetworks", " 10.0.0.0/8 ,1.2.3.4", ""},
      {"AllowedNetworks", "10.0.0.0/8;1.2.3.4",
       "setting AllowedNetworks: stored value \"10.0.0.0/8;1.2.3.4\" has \"10.0.0.0/8;1.2.3.4\", which is not an IPv4 "
       "network; every address is admitted (the default)"},
      {"RefuseUnconfigured", "1", ""},
      {"RefuseUnconfigured", "yes", "setting RefuseUnconfigured: stored value \"yes\" is not a number; off is used"},
      {"MaxConnectionsPerAddress", "65535", ""},
      {"MaxConnectionsPerAddress", "-1",
       "setting MaxConnectionsPerAddress: stored value \"-1\" is outside 0..65535; 0 (no cap) is used"},
  };
  for (const Case& row : cases) {
    SettingInfo settings;
    EXPECT_EQ(ReadWithStored(file, row.key, row.value, settings),
              row.problem.empty() ? std::vector<std::string>{} : std::vector<std::string>{row.problem})
        << row.key << "=" << row.value;
    if (row.problem.empty()) continue;
    EXPECT_EQ(settings.AllowedNetworks, "") << row.value;
    EXPECT_FALSE(settings.RefuseUnconfigured) << row.value;
    EXPECT_EQ(settings.MaxConnectionsPerAddress, 0) << row.value;
  }
  SettingInfo settings;
  file.Exec("update TabSetting set ParamValue = CASE ParamKey WHEN 'AllowedNetworks' THEN ' 10.0.0.0/8 ,1.2.3.4' "
            "WHEN 'RefuseUnconfigured' THEN '1' WHEN 'MaxConnectionsPerAddress' THEN '9' ELSE ParamValue END");
  store.LoadSettings(settings);
  EXPECT_EQ(settings.AllowedNetworks, "10.0.0.0/8,1.2.3.4/32");
  EXPECT_TRUE(settings.RefuseUnconfigured);
  EXPECT_EQ(settings.MaxConnectionsPerAddress, 9);
}

// Values another program wrote: each is read as stored, or set aside with the reason and
// the default, never taken half-way.
TEST_F(AccessInterfaceTest, ListenerHistoryAndAlarmSettingsReadTheirStoredValuesOrTheDefaults) {
  SqliteFile file(path);
  struct Case {
    const char* key;
    const char* value;
    std::string problem;  // empty: read as stored
  };
  const Case cases[] = {
      {"TlsPort", "5002", ""},
      {"TlsPort", "70000", "setting TlsPort: stored value \"70000\" is outside 0..65535; 0 (no TLS listener) is used"},
      {"MetricsAddress", " 127.0.0.1:9464 ", ""},
      {"MetricsAddress", "localhost:9464",
       "setting MetricsAddress: stored value \"localhost:9464\" is not an address and port such as 127.0.0.1:9464; "
       "it is left empty (off)"},
      {"MetricsAddress", "127.0.0.1",
       "setting MetricsAddress: stored value \"127.0.0.1\" is not an address and port such as 127.0.0.1:9464; it is "
       "left empty (off)"},
      {"EventCommand", "/bin/alarm\nrm", "setting EventCommand: stored value \"/bin/alarm\\nrm\" is not a file name; it is "
                                       "left empty (off)"},
      {"EventsKeepDays", "0", "setting EventsKeepDays: stored value \"0\" is outside 1..36500; 1 is used"},
      {"OfflineAlarmSeconds", "abc", "setting OfflineAlarmSeconds: stored value \"abc\" is not a number; 300 is used"},
  };
  for (const Case& row : cases) {
    SettingInfo settings;
    EXPECT_EQ(ReadWithStored(file, row.key, row.value, settings),
              row.problem.empty() ? std::vector<std::string>{} : std::vector<std::string>{row.problem})
        << row.key << "=" << row.value;
  }
  file.Exec("update TabSetting set ParamValue = CASE ParamKey WHEN 'TlsPort' THEN '5002' WHEN 'MetricsAddress' THEN "
            "' 127.0.0.1:09464' WHEN 'TlsOnly' THEN '1' ELSE ParamValue END");
  SettingInfo settings;
  store.LoadSettings(settings);
  EXPECT_EQ(settings.TlsPort, 5002);
  EXPECT_EQ(settings.MetricsAddress, "127.0.0.1:9464");
  EXPECT_TRUE(settings.TlsOnly);
  EXPECT_EQ(settings.EventsKeepDays, 90);
  EXPECT_EQ(settings.OfflineAlarmSeconds, 300);
}

TEST_F(AccessInterfaceTest, ModifyTunnelReplacesItsRowOrAddsOne) {
  ASSERT_EQ(store.AddTunnel(kTunnelA), 1);
  TunnelInfo changed = kTunnelA;
  changed.SerialNo = "COM9";
  changed.BaudRate = "19200";
  ASSERT_EQ(store.ModifyTunnel(changed), 1);
  ASSERT_EQ(store.ModifyTunnel(kTunnelB), 1);

  std::vector<TunnelInfo> tunnels;
  ASSERT_EQ(store.LoadTunnels(tunnels), 1);
  EXPECT_EQ(tunnels, (std::vector<TunnelInfo>{changed, kTunnelB}));

  ASSERT_EQ(store.DeleteTunnel(kTunnelB.DeviceID), 1);
  tunnels.clear();
  store.LoadTunnels(tunnels);
  EXPECT_EQ(tunnels, (std::vector<TunnelInfo>{changed}));
}

TEST_F(AccessInterfaceTest, QuotesAndSemicolonsAreOnlyData) {
  ASSERT_EQ(store.AddTunnel(kTunnelA), 1);
  ASSERT_EQ(store.AddTunnel(kTunnelB), 1);
  TunnelInfo tricky = kTunnelA;
  tricky.Note = "it's \"odd\"; delete from TunnelInfo; --'";
  ASSERT_EQ(store.ModifyTunnel(tricky), 1);
  // An ID that would match every row if it were pasted into the statement.
  ASSERT_EQ(store.DeleteTunnel("x' or '1'='1"), 1);

  std::vector<TunnelInfo> tunnels;
  ASSERT_EQ(store.LoadTunnels(tunnels), 1);
  EXPECT_EQ(tunnels, (std::vector<TunnelInfo>{kTunnelB, tricky}));
}

TEST_F(AccessInterfaceTest, BatchWithARejectedInsertStoresNothing) {
  SqliteFile file(path);
  file.Exec("CREATE TRIGGER Reject BEFORE INSERT ON NotTransData WHEN NEW.DeviceID = 'BAD00000' "
            "BEGIN SELECT RAISE(ABORT, 'rejected by test'); END");
  const std::vector<NotTransRecord> batch{MakeRecord("2024/01/02 03:04:05", "00000001", {1}),
                                          MakeRecord("2024/01/02 03:04:05", "BAD00000", {2}),
                                          MakeRecord("2024/01/02 03:04:05", "00000003", {3})};
  EXPECT_EQ(store.SaveNotTransData(batch), 0);
  EXPECT_EQ(store.LastEngineError(), SQLITE_CONSTRAINT_TRIGGER);
  EXPECT_EQ(file.Scalar("select count(*) from NotTransData"), "0");

  // The connection is usable afterwards: the transaction was rolled back.
  EXPECT_EQ(store.SaveNotTransData({batch[0], batch[2]}), 1);
  EXPECT_EQ(file.Scalar("select count(*) from NotTransData"), "2");
}

TEST_F(AccessInterfaceTest, BuildNotTransCondition) {
  struct Case {
    NotTransFilter filter;
    SqlCondition expected;
  };
  const std::vector<Case> cases{
      {{"0000000A", "", ""}, {"DeviceID = ?", {SqlText("0000000A")}}},
      {{"", "2024/01/01 00:00:00", ""},
       {"ReceiveTime >= ? and ReceiveTime <= ?", {SqlText("2024/01/01 00:00:00"), SqlText("")}}},
      {{"", "", "2024/01/02 00:00:00"},
       {"ReceiveTime >= ? and ReceiveTime <= ?", {SqlText(""), SqlText("2024/01/02 00:00:00")}}},
      {{"0000000A", "2024/01/01 00:00:00", "2024/01/02 00:00:00"},
       {"DeviceID = ? and ReceiveTime >= ? and ReceiveTime <= ?",
        {SqlText("0000000A"), SqlText("2024/01/01 00:00:00"), SqlText("2024/01/02 00:00:00")}}},
      {{"", "", ""}, {"", {}}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(store.BuildNotTransCondition(c.filter), c.expected) << c.filter.DeviceId << "|" << c.filter.StartTime
                                                                   << "|" << c.filter.EndTime;
  }
}

TEST_F(AccessInterfaceTest, NotForwardedQueriesAndDeletes) {
  ASSERT_EQ(store.SaveNotTransData({MakeRecord("2024/01/01 10:00:00", "0000000A", {1}),
                                    MakeRecord("2024/01/02 10:00:00", "0000000A", {2}),
                                    MakeRecord("2024/01/02 11:00:00", "0000000B", {3})}),
            1);
  auto query = [&](const NotTransFilter& filter) {
    std::vector<NotTransRecord> records;
    const std::int64_t count = store.QueryNotTransData(filter, records, 100, nullptr);
    std::vector<std::string> seen;
    for (const auto& record : records) seen.push_back(DeviceIdOf(record.Item) + "@" + record.ReceiveTime);
    return std::make_pair(count, seen);
  };
  using Seen = std::pair<std::int64_t, std::vector<std::string>>;
  EXPECT_EQ(query({"0000000A", "", ""}), (Seen{2, {"0000000A@2024/01/01 10:00:00", "0000000A@2024/01/02 10:00:00"}}));
  EXPECT_EQ(query({"", "2024/01/02 00:00:00", "2024/01/02 23:59:59"}),
            (Seen{2, {"0000000A@2024/01/02 10:00:00", "0000000B@2024/01/02 11:00:00"}}));
  // Only a start time: compared with an empty upper bound, nothing matches.
  EXPECT_EQ(query({"", "2024/01/01 00:00:00", ""}), (Seen{0, {}}));
  // No condition at all is an error, not "everything": the query fails, the delete too.
  EXPECT_EQ(query({}).first, -1);
  EXPECT_EQ(store.DeleteNotTransData({}), 0);

  EXPECT_EQ(store.DeleteNotTransData({"0000000A", "2024/01/02 00:00:00", "2024/01/02 23:59:59"}), 1);
  EXPECT_EQ(query({"0000000A", "", ""}), (Seen{1, {"0000000A@2024/01/01 10:00:00"}}));
  EXPECT_EQ(store.DeleteAllNotTransData(), 1);
  EXPECT_EQ(query({"0000000B", "", ""}).first, 0);
}

TEST_F(AccessInterfaceTest, ReceiveDataComesBackByteForByte) {
  Bytes long600(600);
  for (std::size_t i = 0; i < long600.size(); ++i) long600[i] = static_cast<unsigned char>(i * 7);
  const Bytes withZero{0x31, 0x32, 0x00, 0x33};
  const Bytes withBlanks{' ', 'O', 'K', '\r', '\n'};
  ASSERT_EQ(store.SaveNotTransData({MakeRecord("2024/03/09 14:05:00", "00000001", withZero),
                                    MakeRecord("2024/03/09 14:05:01", "00000001", long600),
                                    MakeRecord("2024/03/09 14:05:02", "00000001", withBlanks),
                                    MakeRecord("2024/03/09 14:05:03", "00000001", {})}),
            1);

  SqliteFile file(path);
  EXPECT_EQ(file.Rows("select ReceiveTime, length(ReceiveData), typeof(ReceiveData) from NotTransData order by rowid"),
            (Rows{{"2024/03/09 14:05:00", "4", "blob"},
                  {"2024/03/09 14:05:01", "250", "blob"},
                  {"2024/03/09 14:05:01", "250", "blob"},
                  {"2024/03/09 14:05:01", "100", "blob"},
                  {"2024/03/09 14:05:02", "5", "blob"},
                  {"2024/03/09 14:05:03", "0", "blob"}}));

  std::vector<NotTransRecord> records;
  ASSERT_EQ(store.QueryNotTransData({"00000001", "", ""}, records, 100, nullptr), 6);
  std::vector<Bytes> data;
  for (const auto& record : records) data.push_back(DataOf(record));
  EXPECT_EQ(data, (std::vector<Bytes>{withZero, Bytes(long600.begin(), long600.begin() + 250),
                                      Bytes(long600.begin() + 250, long600.begin() + 500),
                                      Bytes(long600.begin() + 500, long600.end()), withBlanks, Bytes{}}));
}

TEST_F(AccessInterfaceTest, QueryIsBoundedAndVisitingReachesEveryRow) {
  std::vector<NotTransRecord> batch;
  for (int i = 0; i < 25; ++i) {
    char time[20];
    std::snprintf(time, sizeof time, "2024/05/01 00:00:%02d", i);
    batch.push_back(MakeRecord(time, "0000000A", {static_cast<unsigned char>(i)}));
  }
  ASSERT_EQ(store.SaveNotTransData(batch), 1);

  std::vector<NotTransRecord> records;
  bool more = false;
  EXPECT_EQ(store.QueryNotTransData({"0000000A", "", ""}, records, 10, &more), 10);
  EXPECT_EQ(records.size(), 10u);
  EXPECT_TRUE(more);
  EXPECT_EQ(DataOf(records[9]), Bytes{9});

  records.clear();
  EXPECT_EQ(store.QueryNotTransData({"0000000A", "", ""}, records, 25, &more), 25);
  EXPECT_FALSE(more);

  int visited = 0;
  EXPECT_EQ(store.VisitNotTransData({"0000000A", "", ""},
                                    [&](const NotTransRecord& record) {
                                      EXPECT_EQ(DataOf(record), Bytes{static_cast<unsigned char>(visited)});
                                      ++visited;
                                      return true;
                                    }),
            25);
  EXPECT_EQ(visited, 25);
}

TEST_F(AccessInterfaceTest, FileThatCannotBeOpenedIsToldAndQueriesGiveMinusOne) {
  std::vector<std::pair<std::string, std::string>> notices;
  SetNoticeHook([&](const std::string& text, const std::string& caption, int) {
    notices.emplace_back(text, caption);
    return IDNO;
  });
  {
    std::ofstream garbage(TestAppDirectory().Path() + "/garbage.db");
    garbage << std::string(4096, 'x');
  }
  for (const auto& [bad, reason] : std::vector<std::pair<std::string, std::string>>{
           {"no-such-dir/Info.db", "unable to open database file (No such file or directory)"},
           {"garbage.db", "file is not a database"}}) {
    notices.clear();
    CAccessInterface broken;
    EXPECT_EQ(broken.OpenDatabase(bad), 0) << bad;
    std::vector<NotTransRecord> records;
    EXPECT_EQ(broken.QueryNotTransData({"0000000A", "", ""}, records, 10, nullptr), -1) << bad;
    const std::string text = "打开数据库文件失败(" + TestAppDirectory().Path() + "/" + bad + ")! " + reason;
    // Once for the open, once more for the query's open on demand.
    EXPECT_EQ(notices, (std::vector<std::pair<std::string, std::string>>(2, {text, "Vantrel"}))) << bad;
    EXPECT_FALSE(broken.IsOpen());
  }
  SetNoticeHook(nullptr);
}
