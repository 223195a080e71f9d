#pragma once

#include <atomic>
#include <mutex>

#include "platform/Messages.h"

class QObject;

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

  // While it lives, a stop signal also closes the dialogs shown on `application`'s thread:
  // a modal box runs a loop of its own, and before the window runs nothing else would end it.
  class DialogCloser {
   public:
    DialogCloser(CVantrelApp& app, QObject& application);
    ~DialogCloser();
    DialogCloser(const DialogCloser&) = delete;
    DialogCloser& operator=(const DialogCloser&) = delete;

   private:
    CVantrelApp& m_app;
  };
  // From the signal thread: has the user-interface thread reject every dialog shown.
  void CloseBoxes();

  int& m_argc;
  char** m_argv;
  // Where a stop signal goes once the window runs; set before then, it ends the program
  // as soon as it can.
  std::atomic<TargetHandle> m_stopTarget{0};
  std::atomic<bool> m_stopRequested{false};
  std::mutex m_dialogsMutex;
  QObject* m_dialogsContext = nullptr;  // guarded by m_dialogsMutex
};
