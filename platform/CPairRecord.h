#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// What the port directory remembers of one setupc pair: the process that holds it, the
// two names and the ptys they lead to. Kept as a hidden file ".setupc-<pid>[-<n>].pair"
// beside the links, readable by everyone; its holder keeps an exclusive lock on it for as long
// as it lives, so a record whose lock is free belongs to a holder that is gone (killed,
// or the machine restarted), whatever process now has its number. The serial driver
// reads it too: a gone holder's links lead to pty numbers the system hands out again.
//
// Threads: a plain value; every method may be called from any one thread at a time.
class CPairRecord {
 public:
  // The access asked for an end, kept so that the pair can be made again alike.
  struct Access {
    unsigned mode = 0;  // permission bits; 0 leaves the pty's own
    std::string group;  // group name; empty leaves the pty's own

    bool operator==(const Access&) const = default;
  };

  pid_t pid = 0;
  std::string nameA;
  std::string nameB;
  std::string pathA;
  std::string pathB;
  Access accessA;
  Access accessB;

  // Every readable record in `directory`, ordered by first name (an unreadable or
  // half-written one is skipped).
  static std::vector<CPairRecord> Scan(const std::string& directory);

  // Writes this record into `directory` and locks it. Returns the descriptor that holds
  // the lock (keep it open while the pair lives), or -1 with errno set; a record that
  // could not be written completely is not left behind.
  int Publish(const std::string& directory);

  // Deletes the record file. Idempotent. False (errno set) when it stays.
  bool Withdraw() const;

  // True while the holder lives (also when that cannot be told: a record is never taken
  // for stale on an error).
  bool HolderAlive() const;

  // For a record whose holder is gone: removes the links that still lead to its ptys,
  // then the record. False (errno set) when one of them stays.
  bool RemoveStale() const;

  bool Has(const std::string& name) const { return name == nameA || name == nameB; }

  // True when the link <directory>/<name> is an end of a pair whose holder is gone: a
  // record names it and the pty it still leads to, and no living holder does. Not for
  // anything else there (a link a user made, a device node, no entry). Call it after
  // opening the link: a holder alive then held the pty when it was opened.
  static bool IsOrphanedEnd(const std::string& directory, const std::string& name);

 private:
  std::string m_file;
  std::string m_directory;
};
