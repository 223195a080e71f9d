// The device simulator's command line: a bad option ends it with exit code 2 and says why.
#include <gtest/gtest.h>

#include <string>

#include "DevsimProcess.h"

namespace {

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
      {"--cert /etc/hostname --key /etc/hostname", "--cert requires --tls"},
      {"--tls --cert /etc/hostname", "--cert requires --key"},
      {"--tls --ca /nonexistent/ca.pem", "--ca"},
  };
  for (const auto& [arguments, reason] : rows) {
    SCOPED_TRACE(arguments);
    const DevsimOutcome outcome = RunDevsim(arguments);
    EXPECT_EQ(outcome.exitCode, 2);
    EXPECT_NE(outcome.output.find(reason), std::string::npos) << outcome.output;
    EXPECT_NE(outcome.output.find("--help"), std::string::npos) << outcome.output;
  }
}

TEST(DevsimOptionsTest, HelpExplainsEveryOptionAndSucceeds) {
  const DevsimOutcome outcome = RunDevsim("--help");
  EXPECT_EQ(outcome.exitCode, 0);
  for (const char* option : {"--host", "--port", "--devices", "--first-id", "--phone", "--address", "--heartbeat",
                             "--text", "--hex", "--file", "--generate", "--count", "--rate", "--show", "--echo",
                             "--check", "--escape", "--duration", "--linger", "--tls", "--ca", "--server-name",
                             "--cert", "--key", "certificate is NOT checked"})
    EXPECT_NE(outcome.output.find(option), std::string::npos) << option;
}

}  // namespace
