#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>

#include "TempDir.h"
#include "platform/AssignmentFile.h"

TEST(AssignmentFile, ReadsTheLinesAsTheShellAndSystemdWriteThem) {
  TempDir dir;
  dir.Write("default",
            "# a comment\n"
            "\n"
            "VANTREL_APP_DIR=/srv/first\n"
            "  export VANTREL_PORT_DIR = \n"
            "export VANTREL_PORT_DIR=\"/srv/with blank\"\n"
            "QUOTED='/srv/#not a comment'\n"
            "VANTREL_APP_DIR=/srv/later\n"
            "EMPTY=\n"
            "no equals sign\n"
            "BAD-NAME=1\n"
            "UNCLOSED=\"/srv\n"
            "TRAILING=\"/srv\"x\n");
  std::string problems;
  const std::map<std::string, std::string> values = ReadAssignmentFile(dir.File("default"), problems);
  const std::map<std::string, std::string> expected = {{"VANTREL_APP_DIR", "/srv/later"},
                                                       {"VANTREL_PORT_DIR", "/srv/with blank"},
                                                       {"QUOTED", "/srv/#not a comment"},
                                                       {"EMPTY", ""}};
  EXPECT_EQ(values, expected);
  const std::string file = dir.File("default");
  EXPECT_EQ(problems, file + ":4: not of the form NAME=value\n" + file + ":9: not of the form NAME=value\n" + file +
                          ":10: not of the form NAME=value\n" + file +
                          ":11: a quote is not closed, or text follows it\n" + file +
                          ":12: a quote is not closed, or text follows it\n");
}

TEST(AssignmentFile, AMissingFileIsNoProblemAnUnreadableOneIs) {
  TempDir dir;
  std::string problems;
  EXPECT_TRUE(ReadAssignmentFile(dir.File("missing"), problems).empty());
  EXPECT_EQ(problems, "");

  if (geteuid() == 0) GTEST_SKIP() << "root reads any file";
  dir.Write("locked", "A=1\n");
  ASSERT_EQ(chmod(dir.File("locked").c_str(), 0), 0);
  EXPECT_TRUE(ReadAssignmentFile(dir.File("locked"), problems).empty());
  EXPECT_EQ(problems, dir.File("locked") + ": Permission denied\n");
}
