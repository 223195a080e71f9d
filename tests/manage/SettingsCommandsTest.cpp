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
  expected = {"", 65535, true, true, true, 10000, false};
  EXPECT_EQ(Settings(), expected);

  ASSERT_EQ(Run({"settings", "set", "--port", "1", "--delay", "0"}).exitCode, 0);
  expected.LocalPort = 1;
  expected.DelayComRead = 0;
  EXPECT_EQ(Settings(), expected);

  const CommandRun shown = Run({"settings", "show"});
  EXPECT_EQ(shown.exitCode, 0);
  EXPECT_NE(shown.out.find("LocalPort            --port              1"), std::string::npos) << shown.out;
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
