#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>

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

// Per-buffer lines wait in memory, but reach the file in their place: before the next
// ordinary line, or when flushed.
TEST(TraceLog, FrequentLinesReachTheFileInOrderWithTheNextLineOrAFlush) {
  const std::string log = AppFilePath("Sockora.log");
  Sockora::WriteTrace("before");
  Sockora::WriteFrequentTrace("frequent 1");
  Sockora::WriteFrequentTrace("frequent 2");
  Sockora::WriteTrace("after");
  std::string text = ReadFile(log);
  const std::size_t before = text.rfind(": before\n");
  ASSERT_NE(before, std::string::npos);
  const std::size_t first = text.find(": frequent 1\n", before);
  const std::size_t second = text.find(": frequent 2\n", before);
  const std::size_t after = text.find(": after\n", before);
  EXPECT_LT(first, second);
  EXPECT_LT(second, after);
  EXPECT_NE(after, std::string::npos);

  Sockora::WriteFrequentTrace("frequent 3");
  Sockora::FlushTrace();
  text = ReadFile(log);
  EXPECT_EQ(text.find(": frequent 3\n") + 13, text.size());
}

// A write that fails (a full disk) loses the lines at hand, not the log: once the file
// can grow again, tracing goes on. The file size limit stands in for the full disk.
TEST(TraceLog, AFailedWriteLosesItsLinesButTracingComesBack) {
  const std::string log = AppFilePath("Sockora.log");
  Sockora::WriteTrace("before the disk filled");
  const auto full = std::filesystem::file_size(log);
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit limited = saved;
  limited.rlim_cur = full;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
  Sockora::WriteTrace("while the disk is full");
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &saved), 0);
  std::signal(SIGXFSZ, oldHandler);
  Sockora::WriteTrace("after there is room again");

  const std::string text = ReadFile(log);
  EXPECT_EQ(text.find("while the disk is full"), std::string::npos);
  EXPECT_NE(text.find(": after there is room again\n"), std::string::npos);
}
