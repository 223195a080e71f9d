#include "ServiceLanguage.h"

#include <cstdlib>

#include "platform/CProfileFile.h"
#include "resources/CResourceStrings.h"

int LocaleLanguage() {
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') continue;
    return std::string(value).starts_with("zh") ? CResourceStrings::kChinese : CResourceStrings::kEnglish;
  }
  return CResourceStrings::kEnglish;
}

LanguageInEffect CurrentLanguage() {
  LanguageInEffect language;
  language.source = CResourceStrings::LanguageConfigPath();
  language.code = language.source.empty()
                      ? LocaleLanguage()
                      : CProfileFile(language.source)
                            .GetInt(CResourceStrings::kLanguageSection, CResourceStrings::kLanguageKey, LocaleLanguage());
  return language;
}

std::string LanguageName(int code) {
  if (code == CResourceStrings::kChinese) return "zh";
  if (code == CResourceStrings::kEnglish) return "en";
  return std::to_string(code);
}
