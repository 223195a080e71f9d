#pragma once

#include <chrono>
#include <string>

#include "platform/CPairRecord.h"

// The small background process that holds one null-modem pair: one process per pair, so
// that a pair's life is exactly its holder's (removing a pair is a signal, a crash takes
// one pair along and leaves a record whose free lock says so) and no protocol or state
// is shared between pairs.
//
// The holder runs in its own session with no terminal, its standard streams on
// /dev/null (errors to <port directory>/.setupc.log), and no descriptor of its caller
// open, so it outlives the shell that ran setupc and never holds a caller's pipe open.
// SIGTERM or SIGINT tear the pair down (a program still holding an end sees a hang-up),
// remove its links and record, and end the process; SIGHUP is ignored.
class CPairDaemon {
 public:
  struct Result {
    int error = 0;        // 0, or the errno that stopped it (EEXIST: a name was taken)
    std::string message;  // what failed, for the user
    std::string pathA;    // the ptys, on success
    std::string pathB;
  };

  // Starts a holder for a new pair linked as <directory>/<nameA> and <directory>/<nameB>
  // (`directory` absolute and existing), each end given its access (the pty's mode and
  // group) before it is linked. Returns once both ends can be opened, or once the holder
  // gave up (an unknown group, a group or mode it may not set: EPERM), having left no link,
  // record or process behind. Call it from a process that runs no other thread (it forks).
  static Result Launch(const std::string& directory, const std::string& nameA, const CPairRecord::Access& accessA,
                       const std::string& nameB, const CPairRecord::Access& accessB);

  // Asks the holder of `record` to end and waits up to `bound` for it. A holder already
  // gone has its leftovers removed. Returns 0 when the pair is gone, ETIMEDOUT when the
  // holder did not end in time, or the errno of a failed signal or of a leftover that
  // could not be removed. Any thread.
  static int Stop(const CPairRecord& record, std::chrono::milliseconds bound);

 private:
  [[noreturn]] static void Run(int reportFd, const std::string& directory, CPairRecord record);
};
