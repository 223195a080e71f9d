// Where vantreld finds its language: the language file in the working directory, the
// application directory or beside the program, else the locale.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "TempDir.h"
#include "Vantreld.h"

namespace {

namespace fs = std::filesystem;

enum Place { kNowhere = 0, kWorkingDir = 1, kAppDir = 2, kBesideProgram = 4 };

}  // namespace

TEST(VantreldLanguage, FileInTheWorkingDirectoryThenTheApplicationDirectoryThenBesideTheProgramElseTheLocale) {
  struct Case {
    const char* what;
    int files;            // where a LanguageCfg.ini lies
    const char* content;  // of each of them
    const char* locale;   // environment of the run
    const char* language;
    Place source;
  };
  const Case cases[] = {
      {"no file, no locale", kNowhere, "", "", "en", kNowhere},
      {"no file, Chinese LANG", kNowhere, "", "LANG=zh_CN.UTF-8", "zh", kNowhere},
      {"LC_MESSAGES before LANG", kNowhere, "", "LANG=en_US.UTF-8 LC_MESSAGES=zh_TW.UTF-8", "zh", kNowhere},
      {"LC_ALL before both", kNowhere, "", "LANG=zh_CN.UTF-8 LC_MESSAGES=zh_CN.UTF-8 LC_ALL=C.UTF-8", "en", kNowhere},
      {"beside the program", kBesideProgram, "[CONFIG]\nLANGUAGE=1\n", "LANG=C", "zh", kBesideProgram},
      {"the application directory first", kAppDir | kBesideProgram, "[CONFIG]\nLANGUAGE=2\n", "LANG=zh_CN", "en",
       kAppDir},
      {"the working directory first", kWorkingDir | kAppDir | kBesideProgram, "[CONFIG]\nLANGUAGE=1\n", "LANG=C",
       "zh", kWorkingDir},
      {"a file without the key keeps the locale", kAppDir, "[CONFIG]\n", "LANG=zh_CN.UTF-8", "zh", kAppDir},
  };
  // A copy of the program in a folder of its own: the build's folder must stay as it is.
  TempDir program;
  const std::string copy = program.File("vantreld");
  fs::copy_file(VANTRELD_PROGRAM, copy);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir working, app;
    fs::remove(program.File("LanguageCfg.ini"));
    const std::pair<Place, const TempDir*> places[] = {{kWorkingDir, &working}, {kAppDir, &app},
                                                        {kBesideProgram, &program}};
    std::string expectedFile;
    for (const auto& [place, dir] : places) {
      if ((c.files & place) == 0) continue;
      dir->Write("LanguageCfg.ini", c.content);
      if (place == c.source) expectedFile = dir->File("LanguageCfg.ini");
    }
    const std::string out = app.File("show.json");
    const std::string command = "cd " + working.Path() + " && env -u LC_ALL -u LC_MESSAGES -u LANG " +
                                c.locale + " VANTREL_APP_DIR=" + app.Path() + " " + copy +
                                " settings show --json >" + out;
    ASSERT_EQ(std::system(command.c_str()), 0);
    const nlohmann::json shown = nlohmann::json::parse(ReadFile(out));
    EXPECT_EQ(shown["language"], c.language);
    if (c.source == kWorkingDir)
      EXPECT_EQ(fs::path(shown["languageFile"].get<std::string>()).filename(), "LanguageCfg.ini");
    else
      EXPECT_EQ(shown["languageFile"], expectedFile);
  }
}
