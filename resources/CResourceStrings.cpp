#include "resources/CResourceStrings.h"

#include <sys/stat.h>

#include <mutex>

#include "platform/AppPaths.h"
#include "platform/CProfileFile.h"
#include "platform/Notice.h"
#include "resources/BuiltinTexts.h"
#include "resources/ListColumns.h"

namespace {

std::string TextOrEmpty(const char* text) { return text != nullptr ? std::string(text) : std::string(); }

bool Exists(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0;
}

}  // namespace

std::string CResourceStrings::LanguageConfigPath() {
  for (const std::string& directory : {std::string("."), ApplicationDirectory(), ExecutableDirectory()}) {
    const std::string path = directory + "/" + kLanguageConfigFile;
    if (Exists(path)) return path;
  }
  return {};
}

std::string CResourceStrings::EnglishModulePath() {
  const std::string beside = ExecutableDirectory() + "/" + kEnglishModule;
  return !Exists(AppFilePath(kEnglishModule)) && Exists(beside) ? beside : AppFilePath(kEnglishModule);
}

CResourceStrings& CResourceStrings::Instance() {
  static CResourceStrings strings;
  return strings;
}

int CResourceStrings::SelectLanguage(int defaultLanguage) {
  const std::string config = LanguageConfigPath();
  const int language =
      config.empty() ? defaultLanguage : CProfileFile(config).GetInt(kLanguageSection, kLanguageKey, defaultLanguage);
  std::optional<CLanguageModule> module;
  int errorCode = 0;
  if (language == kEnglish) module = CLanguageModule::Load(EnglishModulePath(), errorCode);
  {
    std::unique_lock lock(m_mutex);
    m_language = language;
    m_module = std::move(module);
  }
  // Outside the lock: the notice hook may itself ask for texts.
  if (errorCode != 0) ShowNotice("加载语言库失败,错误代码：" + std::to_string(errorCode), "", 0);
  return language;
}

int CResourceStrings::Language() const {
  std::shared_lock lock(m_mutex);
  return m_language;
}

bool CResourceStrings::ModuleLoaded() const {
  std::shared_lock lock(m_mutex);
  return m_module.has_value();
}

std::string CResourceStrings::LoadString(unsigned id) const {
  std::shared_lock lock(m_mutex);
  const char* text = m_module ? m_module->String(id) : nullptr;
  return TextOrEmpty(text != nullptr ? text : FindString(BuiltinStrings(), id));
}

std::string CResourceStrings::DialogText(unsigned dialogId, unsigned controlId) const {
  std::shared_lock lock(m_mutex);
  const char* text = m_module ? m_module->DialogText(dialogId, controlId) : nullptr;
  return TextOrEmpty(text != nullptr ? text : FindDialogText(BuiltinDialogTexts(), dialogId, controlId));
}

std::string CResourceStrings::MenuText(unsigned commandId) const {
  std::shared_lock lock(m_mutex);
  const char* text = m_module ? m_module->MenuText(commandId) : nullptr;
  return TextOrEmpty(text != nullptr ? text : FindMenuText(BuiltinMenuTexts(), commandId));
}

std::vector<std::string> CResourceStrings::ColumnHeaders(unsigned dialogId, unsigned controlId) const {
  std::vector<std::string> headers;
  for (const ListColumn& column : ListColumns(dialogId, controlId)) headers.push_back(LoadString(column.stringId));
  return headers;
}
