#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "TempDir.h"
#include "platform/DebugSink.h"
#include "platform/Notice.h"
#include "resources/BuiltinTexts.h"
#include "resources/CLanguageModule.h"
#include "resources/CResourceStrings.h"
#include "resources/ResourceIds.h"

namespace {

struct Notice {
  std::string text;
  std::string caption;
  int type;
};

// A start-up as the program sees it: a working directory that may hold LanguageCfg.ini,
// an application directory that may hold English.so, and every notice recorded.
class LanguageStartup : public ::testing::Test {
 protected:
  void SetUp() override {
    m_oldWorkingDir = std::filesystem::current_path();
    std::filesystem::current_path(m_workingDir.Path());
    ::setenv("VANTREL_APP_DIR", m_appDir.Path().c_str(), 1);
    SetNoticeHook([this](const std::string& text, const std::string& caption, int type) {
      m_notices.push_back({text, caption, type});
      return IDNO;
    });
    SetDebugCapture([this](std::string_view text) { m_debug += text; });
  }

  void TearDown() override {
    SetDebugCapture({});
    SetNoticeHook({});
    ::unsetenv("VANTREL_APP_DIR");
    std::filesystem::current_path(m_oldWorkingDir);
  }

  void Configure(const std::string& language) {
    m_workingDir.Write("LanguageCfg.ini", "[CONFIG]\nLANGUAGE=" + language + "\n");
  }
  void InstallModule(const char* builtModule) {
    std::filesystem::copy_file(builtModule, m_appDir.File("English.so"));
  }

  void ExpectChinese(const CResourceStrings& strings) {
    EXPECT_FALSE(strings.ModuleLoaded());
    EXPECT_EQ(strings.LoadString(IDS_READY), "就绪");
    EXPECT_EQ(strings.MenuText(ID_LANG_ENGLISH), "英文");
  }

  TempDir m_workingDir;
  TempDir m_appDir;
  std::vector<Notice> m_notices;
  std::string m_debug;

 private:
  std::filesystem::path m_oldWorkingDir;
};

// The printf placeholders of a text, in order: a translation must take the same arguments.
std::vector<std::string> Placeholders(const std::string& text) {
  std::vector<std::string> found;
  for (std::size_t at = text.find('%'); at != std::string::npos; at = text.find('%', at)) {
    const std::size_t end = text.find_first_not_of("-+ #0123456789.", at + 1);
    if (end == std::string::npos) break;
    found.push_back(text.substr(at, end - at + 1));
    at = end + 1;
  }
  return found;
}

bool IsAscii(const std::string& text) {
  for (const unsigned char c : text) {
    if (c >= 0x80) return false;
  }
  return true;
}

// An English text for a built-in one: present, plain ASCII, the same placeholders, and
// a toolbar tip keeps its leading line feed.
void ExpectTranslation(const char* english, const char* builtin, const std::string& where) {
  ASSERT_NE(english, nullptr) << where << " has no English text";
  const std::string text = english;
  EXPECT_FALSE(text.empty()) << where;
  EXPECT_TRUE(IsAscii(text)) << where << ": " << text;
  EXPECT_EQ(Placeholders(text), Placeholders(builtin)) << where << ": " << text;
  EXPECT_EQ(text.starts_with('\n'), std::string(builtin).starts_with('\n')) << where;
}

}  // namespace

TEST_F(LanguageStartup, WithoutConfigFileChineseAndNothingLoaded) {
  InstallModule(VANTREL_ENGLISH_MODULE);
  CResourceStrings strings;
  EXPECT_EQ(strings.SelectLanguage(), CResourceStrings::kChinese);
  EXPECT_EQ(strings.Language(), CResourceStrings::kChinese);
  ExpectChinese(strings);
  EXPECT_EQ(strings.LoadString(IDS_CHANNEL_TOTAL), "通道总数");
  EXPECT_EQ(strings.LoadString(ID_SIM_START), "\n启动");
  EXPECT_EQ(strings.LoadString(9999), "") << "unknown ID";
  EXPECT_EQ(strings.DialogText(IDD_MGT_DATA, IDC_CAPTION), "未转发数据管理");
  EXPECT_EQ(strings.DialogText(IDD_MGT_DATA, IDC_DATA_USE_TIME), "") << "a check box without text";
  EXPECT_EQ(strings.MenuText(ID_MENU_LANGUAGE), "语言");
  EXPECT_EQ(strings.ColumnHeaders(IDD_MGT_DEVICE, IDC_MGT_DEVICE_LIST),
            (std::vector<std::string>{"设备ID", "串口号", "波特率", "数据位", "校验位", "停止位", "备注"}));
  EXPECT_TRUE(m_notices.empty());
}

TEST_F(LanguageStartup, EnglishModuleReplacesTheTexts) {
  Configure("2");
  InstallModule(VANTREL_ENGLISH_MODULE);
  CResourceStrings strings;
  EXPECT_EQ(strings.SelectLanguage(), CResourceStrings::kEnglish);
  EXPECT_TRUE(strings.ModuleLoaded());
  EXPECT_EQ(strings.LoadString(IDS_READY), "Ready");
  EXPECT_EQ(strings.LoadString(ID_MGT_DEVICE), "\nDevice Management");
  EXPECT_EQ(strings.LoadString(9999), "");
  EXPECT_EQ(strings.DialogText(IDD_SETTING, IDC_SETTING_ESCAPE), "PROT mode escaping");
  EXPECT_EQ(strings.MenuText(ID_LANG_CHINESE), "Chinese");
  EXPECT_EQ(strings.ColumnHeaders(IDD_MONITOR, IDC_MONITOR_CHANNELS), std::vector<std::string>{"Channel"});
  EXPECT_TRUE(m_notices.empty());
}

TEST_F(LanguageStartup, TextsMissingFromTheModuleFallBackToTheBuiltInOnes) {
  Configure("2");
  InstallModule(VANTREL_PARTIAL_MODULE);
  CResourceStrings strings;
  strings.SelectLanguage();
  ASSERT_TRUE(strings.ModuleLoaded());
  EXPECT_EQ(strings.LoadString(IDS_READY), "Partial ready");
  EXPECT_EQ(strings.LoadString(IDS_CHANNEL_TOTAL), "通道总数");
  EXPECT_EQ(strings.MenuText(ID_SIM_START), "Partial start");
  EXPECT_EQ(strings.MenuText(ID_SIM_STOP), "停止");
  EXPECT_EQ(strings.DialogText(IDD_MONITOR, IDC_MONITOR_HEX), "Hex显示");
}

TEST_F(LanguageStartup, ModuleThatCannotBeLoadedGivesOneNoticeAndChinese) {
  enum Setup { kDirectory, kText, kForeign };
  struct Case {
    const char* what;
    Setup setup;  // what lies in the application directory as English.so (the build's lies beside the tests)
    int code;
  };
  const Case cases[] = {
      {"a directory", kDirectory, EISDIR},
      {"not an object file", kText, CLanguageModule::kUnusableModule},
      {"an object without the entry points", kForeign, CLanguageModule::kUnusableModule},
  };
  for (const Case& c : cases) {
    std::filesystem::remove_all(m_appDir.File("English.so"));
    if (c.setup == kDirectory) std::filesystem::create_directory(m_appDir.File("English.so"));
    if (c.setup == kText) m_appDir.Write("English.so", "not a module");
    if (c.setup == kForeign) InstallModule(VANTREL_FOREIGN_MODULE);
    Configure("2");
    m_notices.clear();
    m_debug.clear();

    CResourceStrings strings;
    EXPECT_EQ(strings.SelectLanguage(), CResourceStrings::kEnglish) << c.what;
    EXPECT_EQ(strings.Language(), CResourceStrings::kEnglish) << c.what << ": the configured language stays";
    ExpectChinese(strings);
    ASSERT_EQ(m_notices.size(), 1u) << c.what;
    EXPECT_EQ(m_notices[0].text, "加载语言库失败,错误代码：" + std::to_string(c.code)) << c.what;
    EXPECT_EQ(m_notices[0].caption, "") << c.what;
    EXPECT_EQ(m_notices[0].type, 0) << c.what;
    EXPECT_NE(m_debug.find("English.so"), std::string::npos) << c.what << ": the loader's reason is logged";
  }
}

TEST_F(LanguageStartup, CodesOtherThanTwoLoadNothing) {
  InstallModule(VANTREL_ENGLISH_MODULE);
  const std::pair<const char*, int> cases[] = {{"1", 1}, {"3", 3}, {"0", 0}, {"-2", -2}, {"english", 0}};
  for (const auto& [value, code] : cases) {
    Configure(value);
    CResourceStrings strings;
    EXPECT_EQ(strings.SelectLanguage(), code) << value;
    EXPECT_EQ(strings.Language(), code) << value;
    ExpectChinese(strings);
  }
  EXPECT_TRUE(m_notices.empty());
}

TEST(EnglishModule, TranslatesEveryBuiltInText) {
  int error = 0;
  const std::optional<CLanguageModule> english = CLanguageModule::Load(VANTREL_ENGLISH_MODULE, error);
  ASSERT_TRUE(english.has_value()) << "error " << error;
  for (const StringEntry& entry : BuiltinStrings()) {
    ExpectTranslation(english->String(entry.id), entry.text, "string " + std::to_string(entry.id));
  }
  for (const DialogTextEntry& entry : BuiltinDialogTexts()) {
    ExpectTranslation(english->DialogText(entry.dialogId, entry.controlId), entry.text,
                      "dialog " + std::to_string(entry.dialogId) + " control " + std::to_string(entry.controlId));
  }
  for (const MenuTextEntry& entry : BuiltinMenuTexts()) {
    ExpectTranslation(english->MenuText(entry.commandId), entry.text, "menu " + std::to_string(entry.commandId));
  }
}
