#include <nlohmann/json.hpp>

#include "ManageFixture.h"

namespace {

using Args = std::vector<std::string>;

}  // namespace

TEST_F(ManageTest, SettingsSetChangesOnlyWhatIsGiven) {
  ASSERT_EQ(Run({"settings", "set", "--port", "65535", "--escape", "on", "--ip", "10.0.0.7"}).exitCode, 0);
  SettingInfo expected;
  expected.LocalIp = "10.0.0.7";
  expected.LocalPort = 65535;
  expected.Escape = true;
  EXPECT_EQ(Settings(), expected);

  const CommandRun run = Run({"settings", "set", "--delay", "10000", "--filter-heartbeat", "yes", "--auto-start",
                              "TRUE", "--boot-auto-start", "1", "--escape", "off", "--ip", ""});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  expected = SettingInfo{};
  expected.LocalPort = 65535;
  expected.BootAutoStart = expected.AutoStartSimulation = expected.FilterHearbeat = true;
  expected.DelayComRead = 10000;
  EXPECT_EQ(Settings(), expected);

  ASSERT_EQ(Run({"settings", "set", "--port", "1", "--delay", "0"}).exitCode, 0);
  expected.LocalPort = 1;
  expected.DelayComRead = 0;
  EXPECT_EQ(Settings(), expected);

  // The TLS settings may be given one at a time: an incomplete set is saved with a warning.
  const CommandRun tls = Run({"settings", "set", "--tls-port", "5002", "--metrics", " 127.0.0.1:9464"});
  ASSERT_EQ(tls.exitCode, 0) << tls.err;
  EXPECT_NE(tls.err.find("the server certificate or its key is not"), std::string::npos) << tls.err;
  const CommandRun rest = Run({"settings", "set", "--tls-cert", "tls/server.pem", "--tls-key", "/etc/vantrel/key.pem",
                               "--tls-only", "on", "--events-keep-days", "7", "--event-command", "/bin/alarm",
                               "--offline-alarm", "60", "--resend-stored", "on"});
  ASSERT_EQ(rest.exitCode, 0) << rest.err;
  EXPECT_EQ(rest.err, "");
  expected.TlsPort = 5002;
  expected.MetricsAddress = "127.0.0.1:9464";
  expected.TlsCertificate = "tls/server.pem";
  expected.TlsKey = "/etc/vantrel/key.pem";
  expected.TlsOnly = expected.ResendStored = true;
  expected.EventsKeepDays = 7;
  expected.EventCommand = "/bin/alarm";
  expected.OfflineAlarmSeconds = 60;
  EXPECT_EQ(Settings(), expected);

  const CommandRun shown = Run({"settings", "show"});
  EXPECT_EQ(shown.exitCode, 0);
  EXPECT_NE(shown.out.find("LocalPort                 --port                 1"), std::string::npos) << shown.out;
  EXPECT_NE(shown.out.find("this computer's first IPv4 address"), std::string::npos) << shown.out;
  EXPECT_NE(shown.out.find("1073741824 bytes (1 GiB)"), std::string::npos) << "the store limit's default\n" << shown.out;

  for (const auto& [given, stored] : std::vector<std::pair<std::string, std::int64_t>>{
           {"2g", 2147483648}, {"1000", 1000}, {"0", 0}, {"1048576K", 1073741824}}) {
    ASSERT_EQ(Run({"settings", "set", "--store-limit", given}).exitCode, 0) << given;
    EXPECT_EQ(Settings().NotTransMaxBytes, stored) << given;
  }
}

TEST_F(ManageTest, SettingsOutOfRangeExitTwoAndChangeNothing) {
  ASSERT_EQ(Run({"settings", "set", "--port", "6000"}).exitCode, 0);
  const SettingInfo before = Settings();
  const Args cases[] = {
      {"settings", "set"},
      {"settings", "set", "--port", "0"},
      {"settings", "set", "--port", "65536"},
      {"settings", "set", "--port", "12a"},
      {"settings", "set", "--port", ""},
      {"settings", "set", "--port", "99999999999999999999"},
      {"settings", "set", "--delay", "10001"},
      {"settings", "set", "--delay=-1"},
      {"settings", "set", "--ip", "10.0.0"},
      {"settings", "set", "--ip", "256.1.1.1"},
      {"settings", "set", "--ip", "localhost"},
      {"settings", "set", "--escape", "maybe"},
      {"settings", "set", "--store-limit", "-1"},
      {"settings", "set", "--store-limit", "1T"},
      {"settings", "set", "--store-limit", "2 G"},
      {"settings", "set", "--store-limit", "2000000G"},
      {"settings", "set", "--tls-port", "65536"},
      {"settings", "set", "--tls-only", "sometimes"},
      {"settings", "set", "--tls-cert", "server\npem"},
      {"settings", "set", "--metrics", "9464"},
      {"settings", "set", "--metrics", "localhost:9464"},
      {"settings", "set", "--metrics", "127.0.0.1:0"},
      {"settings", "set", "--events-keep-days", "0"},
      {"settings", "set", "--offline-alarm", "604801"},
      {"settings", "set", "--resend-stored", "2"},
      // One bad value spoils the good ones beside it.
      {"settings", "set", "--delay", "70", "--auto-start", "2"},
  };
  for (const Args& args : cases) {
    std::string text;
    for (const auto& arg : args) text += arg + " ";
    ExpectBadInput(Run(args), text);
    EXPECT_EQ(Settings(), before) << text;
  }
}

TEST_F(ManageTest, SettingsShowJsonParsesBack) {
  ASSERT_EQ(Run({"settings", "set", "--ip", "127.0.0.1", "--port", "6001", "--escape", "on"}).exitCode, 0);
  const CommandRun show = Run({"settings", "show", "--json"});
  ASSERT_EQ(show.exitCode, 0) << show.err;
  const nlohmann::json settings = nlohmann::json::parse(show.out);
  EXPECT_EQ(settings["localIp"], "127.0.0.1");
  EXPECT_EQ(settings["localPort"], 6001);
  EXPECT_EQ(settings["escape"], true);
  EXPECT_EQ(settings["filterHeartbeat"], false);
  EXPECT_EQ(settings["delayComRead"], 50);
  EXPECT_TRUE(settings["language"] == "en" || settings["language"] == "zh") << show.out;
}

TEST_F(ManageTest, SettingsSetLanguageWritesTheLanguageFileOfTheApplicationDirectory) {
  const std::string file = AppFilePath("LanguageCfg.ini");
  std::filesystem::remove(file);
  const CommandRun english = Run({"settings", "set", "--language", "en"});
  ASSERT_EQ(english.exitCode, 0) << english.err;
  EXPECT_EQ(nlohmann::json::parse(Run({"settings", "show", "--json"}).out)["languageFile"], file);
  const CommandRun chinese = Run({"settings", "set", "--language", "zh"});
  ASSERT_EQ(chinese.exitCode, 0) << chinese.err;
  EXPECT_EQ(nlohmann::json::parse(Run({"settings", "show", "--json"}).out)["language"], "zh");
  ExpectBadInput(Run({"settings", "set", "--language", "fr"}), "an unknown language");
  std::filesystem::remove(file);
}

TEST_F(ManageTest, WhoMayBeADeviceIsSetShownAndCleared) {
  struct Case {
    std::string given;
    std::string stored;
  };
  for (const Case& row : {Case{"10.0.0.0/8,203.0.113.7/32", "10.0.0.0/8,203.0.113.7/32"},
                          Case{" 10.0.0.0/8 , 203.0.113.7", "10.0.0.0/8,203.0.113.7/32"},
                          Case{"0.0.0.0/0", "0.0.0.0/0"}, Case{"", ""}}) {
    const CommandRun run = Run({"settings", "set", "--allow", row.given});
    ASSERT_EQ(run.exitCode, 0) << row.given << "\n" << run.err;
    EXPECT_EQ(Settings().AllowedNetworks, row.stored) << row.given;
  }
  ASSERT_EQ(Run({"settings", "set", "--allow", "192.168.0.0/16", "--refuse-unconfigured", "on", "--max-per-address",
                 "65535"})
                .exitCode,
            0);
  SettingInfo expected;
  expected.AllowedNetworks = "192.168.0.0/16";
  expected.RefuseUnconfigured = true;
  expected.MaxConnectionsPerAddress = 65535;
  EXPECT_EQ(Settings(), expected);

  const CommandRun shown = Run({"settings", "show"});
  EXPECT_NE(shown.out.find("AllowedNetworks           --allow                192.168.0.0/16"), std::string::npos)
      << shown.out;
  EXPECT_NE(shown.out.find("RefuseUnconfigured        --refuse-unconfigured  on"), std::string::npos) << shown.out;
  EXPECT_NE(shown.out.find("MaxConnectionsPerAddress  --max-per-address      65535"), std::string::npos) << shown.out;
  const nlohmann::json json = nlohmann::json::parse(Run({"settings", "show", "--json"}).out);
  EXPECT_EQ(json["allowedNetworks"], "192.168.0.0/16");
  EXPECT_EQ(json["refuseUnconfigured"], true);
  EXPECT_EQ(json["maxConnectionsPerAddress"], 65535);

  ASSERT_EQ(Run({"settings", "set", "--allow", "", "--refuse-unconfigured", "off", "--max-per-address", "0"}).exitCode, 0);
  EXPECT_EQ(Settings(), SettingInfo{});
  const CommandRun cleared = Run({"settings", "show"});
  EXPECT_NE(cleared.out.find("(empty: every address)"), std::string::npos) << cleared.out;
  EXPECT_NE(cleared.out.find("0 (no cap)"), std::string::npos) << cleared.out;
}

TEST_F(ManageTest, AnAllowedListWithAnEntryThatIsNoNetworkIsRefusedNamingIt) {
  ASSERT_EQ(Run({"settings", "set", "--allow", "10.0.0.0/8", "--max-per-address", "5"}).exitCode, 0);
  const SettingInfo before = Settings();
  struct Case {
    Args args;
    std::string named;
  };
  const Case cases[] = {
      {{"settings", "set", "--allow", "10.0.0.0/8,10.0.0.256"}, "\"10.0.0.256\" is not an IPv4 network"},
      {{"settings", "set", "--allow", "10.0.0.1/8"}, "\"10.0.0.1/8\" is not an IPv4 network"},
      {{"settings", "set", "--allow", "10.0.0.0/"}, "\"10.0.0.0/\""},
      {{"settings", "set", "--allow", "10.0.0.0/-1"}, "\"10.0.0.0/-1\""},
      {{"settings", "set", "--allow", "010.0.0.0/8"}, "\"010.0.0.0/8\""},
      {{"settings", "set", "--allow", "any"}, "\"any\""},
      {{"settings", "set", "--allow", "10.0.0.0/8,"}, "an empty entry"},
      {{"settings", "set", "--allow", "10.0.0.0/8 192.168.0.0/16"}, "\"10.0.0.0/8 192.168.0.0/16\""},
      // A good value beside it is not saved either.
      {{"settings", "set", "--port", "6000", "--allow", "x"}, "\"x\""},
      {{"settings", "set", "--max-per-address", "65536"}, "--max-per-address"},
      {{"settings", "set", "--max-per-address=-1"}, "--max-per-address"},
      {{"settings", "set", "--refuse-unconfigured", "sometimes"}, "--refuse-unconfigured"},
  };
  for (const Case& row : cases) {
    const std::string text = ExpectRefusedNaming(row.args, row.named);
    EXPECT_EQ(Settings(), before) << text;
  }
}
