#include "CServiceConsole.h"

#include <cstdio>

#include "model/LocalTimeText.h"
#include "platform/JournalStream.h"

namespace {

void WriteLine(std::FILE* stream, LinePriority priority, const std::string& text) {
  std::fputs(ForJournal(stream, priority, LocalTimeText() + "  " + text + "\n").c_str(), stream);
  std::fflush(stream);
}

}  // namespace

void CServiceConsole::Status(const std::string& text) const {
  if (!m_quiet) WriteLine(stdout, LinePriority::Info, text);
}

void CServiceConsole::Warning(const std::string& text) const { WriteLine(stderr, LinePriority::Warning, text); }

void CServiceConsole::Problem(const std::string& text) const { WriteLine(stderr, LinePriority::Error, text); }
