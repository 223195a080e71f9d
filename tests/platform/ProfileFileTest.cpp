#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <filesystem>
#include <optional>
#include <string>

#include "TempDir.h"
#include "platform/CProfileFile.h"

namespace {

struct ReadCase {
  const char* what;
  std::optional<std::string> content;  // nullopt: no file
  int expected;                        // read with default 7
};

struct WriteCase {
  const char* what;
  std::optional<std::string> before;
  std::string after;
};

}  // namespace

TEST(ProfileFile, ReadsLeadingDigitsOrTheDefault) {
  const ReadCase cases[] = {
      {"no file", std::nullopt, 7},
      {"plain", "[CONFIG]\nLANGUAGE=2\n", 2},
      {"names ignore case and blanks", "[ config ]\n  language = 2 \n", 2},
      {"leading digits only", "[CONFIG]\nLANGUAGE=12abc\n", 12},
      {"no digits is zero, not the default", "[CONFIG]\nLANGUAGE=abc\n", 0},
      {"empty value gives the default", "[CONFIG]\nLANGUAGE=\n", 7},
      {"key of another section", "[OTHER]\nLANGUAGE=2\n[CONFIG]\nX=1\n", 7},
      {"key before any section", "LANGUAGE=2\n[CONFIG]\n", 7},
      {"first key wins", "[CONFIG]\nLANGUAGE=2\nLANGUAGE=3\n", 2},
      {"first section wins", "[CONFIG]\nA=1\n[CONFIG]\nLANGUAGE=3\n", 7},
      {"CRLF and byte order mark", "\xEF\xBB\xBF[CONFIG]\r\nLANGUAGE=2\r\n", 2},
      {"comment lines", "[CONFIG]\n;LANGUAGE=3\nLANGUAGE=4\n", 4},
      {"quoted value", "[CONFIG]\nLANGUAGE=\"2\"\n", 2},
      {"negative", "[CONFIG]\nLANGUAGE=-5\n", -5},
      {"too large saturates", "[CONFIG]\nLANGUAGE=99999999999999999999\n", INT_MAX},
      {"unclosed section header", "[CONFIG\nLANGUAGE=2\n", 7},
  };
  for (const ReadCase& c : cases) {
    TempDir dir;
    if (c.content) dir.Write("LanguageCfg.ini", *c.content);
    EXPECT_EQ(CProfileFile(dir.File("LanguageCfg.ini")).GetInt("CONFIG", "LANGUAGE", 7), c.expected) << c.what;
  }
}

TEST(ProfileFile, UnreadableFileGivesTheDefault) {
  TempDir dir;
  std::filesystem::create_directory(dir.File("LanguageCfg.ini"));
  EXPECT_EQ(CProfileFile(dir.File("LanguageCfg.ini")).GetInt("CONFIG", "LANGUAGE", 7), 7);
}

TEST(ProfileFile, WritesTheKeyAndKeepsEveryOtherLine) {
  const WriteCase cases[] = {
      {"new file", std::nullopt, "[CONFIG]\nLANGUAGE=2\n"},
      {"replaces the key in place", "; note\n[CONFIG]\nLANGUAGE=1\nOTHER=x\n[B]\nk=v\n",
       "; note\n[CONFIG]\nLANGUAGE=2\nOTHER=x\n[B]\nk=v\n"},
      {"adds the key after the section's last line", "[CONFIG]\nA=1\n\n[B]\nk=v\n",
       "[CONFIG]\nA=1\nLANGUAGE=2\n\n[B]\nk=v\n"},
      {"appends the section", "[B]\nk=v", "[B]\nk=v\n\n[CONFIG]\nLANGUAGE=2\n"},
      {"keeps CRLF and matches names ignoring case", "[config]\r\nlanguage=1\r\n",
       "[config]\r\nLANGUAGE=2\r\n"},
      {"keeps the byte order mark", "\xEF\xBB\xBF[CONFIG]\nLANGUAGE=1\n", "\xEF\xBB\xBF[CONFIG]\nLANGUAGE=2\n"},
      {"same key in another section untouched", "[B]\nLANGUAGE=9\n[CONFIG]\n", "[B]\nLANGUAGE=9\n[CONFIG]\nLANGUAGE=2\n"},
  };
  for (const WriteCase& c : cases) {
    TempDir dir;
    if (c.before) dir.Write("LanguageCfg.ini", *c.before);
    const CProfileFile file(dir.File("LanguageCfg.ini"));
    ASSERT_EQ(file.WriteString("CONFIG", "LANGUAGE", "2"), 0) << c.what;
    EXPECT_EQ(dir.Read("LanguageCfg.ini"), c.after) << c.what;
    EXPECT_EQ(file.GetInt("CONFIG", "LANGUAGE", 7), 2) << c.what;
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1) << c.what << ": no temporary left";
  }
}

TEST(ProfileFile, RefusedWritesLeaveTheFileAsItWas) {
  TempDir dir;
  const std::string before = "[CONFIG]\nLANGUAGE=1\n";
  dir.Write("LanguageCfg.ini", before);
  const CProfileFile file(dir.File("LanguageCfg.ini"));
  EXPECT_EQ(file.WriteString("CONFIG", "LANGUAGE", "2\n[X]"), EINVAL);
  EXPECT_EQ(file.WriteString("CON]FIG", "LANGUAGE", "2"), EINVAL);
  EXPECT_EQ(file.WriteString("CONFIG", "LANG=UAGE", "2"), EINVAL);
  EXPECT_EQ(file.WriteString("CONFIG", " LANGUAGE", "2"), EINVAL);
  EXPECT_EQ(file.WriteString("", "LANGUAGE", "2"), EINVAL);
  EXPECT_EQ(dir.Read("LanguageCfg.ini"), before);

  EXPECT_EQ(CProfileFile(dir.File("missing/LanguageCfg.ini")).WriteString("CONFIG", "LANGUAGE", "2"), ENOENT);
  std::filesystem::create_directory(dir.File("folder.ini"));
  EXPECT_EQ(CProfileFile(dir.File("folder.ini")).WriteString("CONFIG", "LANGUAGE", "2"), EISDIR)
      << "a file that cannot be read is not replaced";
}

TEST(ProfileFile, WritesThroughALinkToItsTarget) {
  TempDir dir;
  dir.Write("real.ini", "[CONFIG]\nLANGUAGE=1\n");
  std::filesystem::create_symlink(dir.File("real.ini"), dir.File("LanguageCfg.ini"));
  ASSERT_EQ(CProfileFile(dir.File("LanguageCfg.ini")).WriteString("CONFIG", "LANGUAGE", "2"), 0);
  EXPECT_TRUE(std::filesystem::is_symlink(dir.File("LanguageCfg.ini")));
  EXPECT_EQ(dir.Read("real.ini"), "[CONFIG]\nLANGUAGE=2\n");
}
