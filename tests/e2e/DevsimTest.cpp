// The device simulator's command line: a bad option ends it with exit code 2 and says why.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace {

struct Outcome {
  int exitCode = -1;
  std::string output;
};

Outcome RunDevsim(const std::string& arguments) {
  Outcome outcome;
  const std::string command = std::string("'") + VANTREL_DEVSIM + "' " + arguments + " 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return outcome;
  char buffer[4096];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) outcome.output.append(buffer, got);
  const int status = ::pclose(pipe);
  if (WIFEXITED(status)) outcome.exitCode = WEXITSTATUS(status);
  return outcome;
}

TEST(DevsimOptionsTest, BadOptionsExitWithTwoAndTheReason) {
  const std::pair<const char*, const char*> rows[] = {
      {"--bogus", "--bogus"},
      {"--first-id 12XY", "--first-id must be 8 hexadecimal digits"},
      {"--port 0", "--port must be between 1 and 65535"},
      {"--port 70000", "--port"},
      {"--address 10.1.2", "--address must be a dotted IPv4 address"},
      {"--host localhost", "--host must be a dotted IPv4 address"},
      {"--hex 'F G'", "--hex takes pairs of hexadecimal digits"},
      {"--text a --hex 41", "excludes"},
      {"--echo --check", "--echo and --check cannot be used together"},
      {"--devices 0", "--devices"},
      {"--first-id FFFFFFFF --devices 2", "runs past FFFFFFFF"},
      {"--phone 1234567890123", "--phone holds at most 12 characters"},
  };
  for (const auto& [arguments, reason] : rows) {
    SCOPED_TRACE(arguments);
    const Outcome outcome = RunDevsim(arguments);
    EXPECT_EQ(outcome.exitCode, 2);
    EXPECT_NE(outcome.output.find(reason), std::string::npos) << outcome.output;
    EXPECT_NE(outcome.output.find("--help"), std::string::npos) << outcome.output;
  }
}

TEST(DevsimOptionsTest, HelpExplainsEveryOptionAndSucceeds) {
  const Outcome outcome = RunDevsim("--help");
  EXPECT_EQ(outcome.exitCode, 0);
  for (const char* option : {"--host", "--port", "--devices", "--first-id", "--phone", "--address", "--heartbeat",
                             "--text", "--hex", "--file", "--generate", "--count", "--rate", "--show", "--echo",
                             "--check", "--escape", "--duration", "--linger"})
    EXPECT_NE(outcome.output.find(option), std::string::npos) << option;
}

}  // namespace
