#pragma once

#include <string>

// Where the running service's lines go: status and device lines on stdout, problems on
// stderr, each with the local time in front and flushed at once, so that a terminal and
// the journal see them as they happen. With quiet, only problems. Main thread.
class CServiceConsole {
 public:
  explicit CServiceConsole(bool quiet) : m_quiet(quiet) {}

  void Status(const std::string& text) const;
  void Problem(const std::string& text) const;

 private:
  const bool m_quiet;
};
