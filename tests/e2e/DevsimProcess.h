#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <string>

// The device simulator run as a process with `arguments`: its exit code (-1 when it did not
// exit, 124 when it ran past 90 s) and what it printed on stdout and stderr. Caller's thread.
struct DevsimOutcome {
  int exitCode = -1;
  std::string output;
};

inline DevsimOutcome RunDevsim(const std::string& arguments) {
  DevsimOutcome outcome;
  const std::string command = std::string("timeout 90 '") + VANTREL_DEVSIM + "' " + arguments + " 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return outcome;
  char buffer[4096];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) outcome.output.append(buffer, got);
  const int status = ::pclose(pipe);
  if (WIFEXITED(status)) outcome.exitCode = WEXITSTATUS(status);
  return outcome;
}
