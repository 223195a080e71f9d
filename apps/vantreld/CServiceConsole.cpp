#include "CServiceConsole.h"

#include <cstdio>

#include "model/LocalTimeText.h"

void CServiceConsole::Status(const std::string& text) const {
  if (m_quiet) return;
  std::printf("%s  %s\n", LocalTimeText().c_str(), text.c_str());
  std::fflush(stdout);
}

void CServiceConsole::Problem(const std::string& text) const {
  std::fprintf(stderr, "%s  %s\n", LocalTimeText().c_str(), text.c_str());
}
