#pragma once

#include <string>

// The language of vantreld's texts. Without a language file it follows the locale, as
// command-line programs do; the desktop program keeps Chinese as its default. Main thread.

// Chinese (1) when the locale's messages are Chinese (LC_ALL, else LC_MESSAGES, else
// LANG, the first one set, starts with "zh"), English (2) otherwise.
int LocaleLanguage();

struct LanguageInEffect {
  int code = 0;        // as the language file holds it: 1 Chinese, 2 English
  std::string source;  // the language file read, or empty for the locale
};
LanguageInEffect CurrentLanguage();

// "zh", "en", or the number of any other code.
std::string LanguageName(int code);
