#pragma once

#include <atomic>

#include "platform/Messages.h"

// The desktop program: its command line, the language, the start-up configuration, one
// instance per application directory, and the main window until it ends. Main thread.
class CVantrelApp {
 public:
  // Before any other thread exists: SIGTERM and SIGINT are taken by a thread of our own
  // from here on.
  CVantrelApp(int& argc, char** argv);
  CVantrelApp(const CVantrelApp&) = delete;
  CVantrelApp& operator=(const CVantrelApp&) = delete;

  // Returns the exit code: 0 after a normal end (also on SIGTERM or SIGINT), 1 when the
  // program cannot run (another instance, an unreadable database, a failed --signal),
  // 2 for a bad command line.
  int Run();

 private:
  // -1 when the program is to go on, else the exit code.
  int HandleCommandLine();
  int RunWindow();

  int& m_argc;
  char** m_argv;
  // Where a stop signal goes once the window runs; set before then, it ends the program
  // as soon as it can.
  std::atomic<TargetHandle> m_stopTarget{0};
  std::atomic<bool> m_stopRequested{false};
};
