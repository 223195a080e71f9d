#pragma once

#include <optional>
#include <shared_mutex>
#include <string>
#include <vector>

#include "resources/CLanguageModule.h"

// The user-interface texts by resource ID: the string table, dialog texts and menu texts.
// The Chinese texts are built in; when the language code asks for English, the English
// module's texts replace them, and an ID the module lacks keeps its built-in text.
// Any thread may read texts; SelectLanguage runs once at start-up on the main thread.
class CResourceStrings {
 public:
  static constexpr const char* kLanguageConfigFile = "LanguageCfg.ini";
  static constexpr const char* kLanguageSection = "CONFIG";
  static constexpr const char* kLanguageKey = "LANGUAGE";
  static constexpr int kChinese = 1;
  static constexpr int kEnglish = 2;
  static constexpr const char* kEnglishModule = "English.so";

  // The process-wide texts that every window and the service take their texts from.
  static CResourceStrings& Instance();

  // Built-in texts, language code 1, no module.
  CResourceStrings() = default;
  CResourceStrings(const CResourceStrings&) = delete;
  CResourceStrings& operator=(const CResourceStrings&) = delete;

  // Reads the language code from LanguageConfigPath() (defaultLanguage when there is no
  // such file or it lacks the key). Code 2 loads EnglishModulePath(); when that fails, the
  // notice "加载语言库失败,错误代码：<code>" with an empty caption goes out through ShowNotice
  // and the built-in texts stay. Any other code loads nothing. Returns the code, which is
  // kept as read.
  int SelectLanguage(int defaultLanguage = kChinese);

  // Where the language file is: the first of the working directory, the application
  // directory and the executable's directory that holds one (a service started by
  // systemd runs in "/"); empty when none does. Any thread.
  static std::string LanguageConfigPath();
  // The English module of the application directory, else the one beside the executable;
  // the application directory's path when neither exists. Any thread.
  static std::string EnglishModulePath();

  // The language code read at start-up; values other than 1 and 2 use the built-in texts.
  int Language() const;
  bool ModuleLoaded() const;

  // The string table entry, or an empty text for an unknown ID.
  std::string LoadString(unsigned id) const;
  // A dialog's text: its caption for control ID 0, else the control's caption (buttons,
  // check boxes, group boxes, static labels). Empty when the control has none.
  std::string DialogText(unsigned dialogId, unsigned controlId) const;
  // A menu item's text by its command ID (the drop-down menus by ID_MENU_*). Empty when unknown.
  std::string MenuText(unsigned commandId) const;
  // The captions of a list's columns, left to right (see ListColumns for their widths).
  std::vector<std::string> ColumnHeaders(unsigned dialogId, unsigned controlId) const;

 private:
  mutable std::shared_mutex m_mutex;
  int m_language = kChinese;
  std::optional<CLanguageModule> m_module;
};
