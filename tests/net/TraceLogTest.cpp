#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "net/WriteTrace.h"
#include "platform/AppPaths.h"

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

int CountOf(const std::string& text, const std::string& what) {
  int count = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return count;
}

}  // namespace

// One line per received buffer must not fill the disk: past the cap the log moves to
// Sockora.log.1 and a new file starts; the header stays once per run.
TEST(TraceLog, HeaderOncePerRunAndTheFileIsRotatedAtItsCap) {
  const std::string log = AppFilePath("Sockora.log");
  const std::string old = log + ".1";
  const std::string line(200, 'r');
  for (int i = 0; i < 30000 && !std::filesystem::exists(old); ++i) Sockora::WriteTrace(line);
  Sockora::WriteTrace("last line");

  ASSERT_TRUE(std::filesystem::exists(old));
  const std::string current = ReadFile(log);
  const std::string previous = ReadFile(old);
  EXPECT_LE(previous.size(), 4u * 1024 * 1024);
  EXPECT_LT(current.size(), previous.size());
  EXPECT_EQ(CountOf(previous + current, "****************New Log*****************\n"), 1);
  EXPECT_EQ(current.find(": last line\n") + 12, current.size());
}
