#pragma once

#include <string>

// Where the running service's lines go: status and device lines on stdout, warnings and
// problems on stderr, each with the local time in front and flushed at once, so that a
// terminal and the journal see them as they happen; in the journal with their priority
// (info, warning, error). With quiet, only warnings and problems. Main thread.
class CServiceConsole {
 public:
  explicit CServiceConsole(bool quiet) : m_quiet(quiet) {}

  void Status(const std::string& text) const;
  // Something worked around, that the service keeps running with.
  void Warning(const std::string& text) const;
  void Problem(const std::string& text) const;

 private:
  const bool m_quiet;
};
