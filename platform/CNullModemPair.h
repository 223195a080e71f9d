#pragma once

#include <string>
#include <thread>
#include <vector>

// A virtual null-modem cable: two pseudo-terminals whose masters are joined back to back
// by a bridge thread, so that what a program writes to one end (a pty slave) is read
// from the other end, in both directions, with flow control (a full end holds the
// other's writer back instead of dropping bytes).
//
// The pair keeps both slaves open itself, in raw mode, so programs may open and close
// either end at will: an end nobody has open keeps what arrives for it (up to the pty's
// buffer) and neither side ever sees a hang-up while the pair lives. Tearing the pair
// down closes everything: a program still holding an end then sees its device vanish
// (reads end, writes fail with EIO), as when a USB adapter is pulled.
//
// Threads: one owner thread calls everything; the bridge runs on its own thread.
class CNullModemPair {
 public:
  CNullModemPair() = default;
  // Tears the pair down.
  ~CNullModemPair();
  CNullModemPair(const CNullModemPair&) = delete;
  CNullModemPair& operator=(const CNullModemPair&) = delete;

  // Creates both ptys and starts the bridge. False on failure (LastError() holds the
  // errno: ENOENT or EACCES without /dev/ptmx, EMFILE or ENFILE when out of
  // descriptors, EAGAIN when no thread could be started); nothing is left open then.
  bool Create();

  // The two ends, e.g. /dev/pts/7; empty before Create and after TearDown.
  const std::string& PathA() const { return m_pathA; }
  const std::string& PathB() const { return m_pathB; }

  // Makes <directory>/<nameA> a link to end A and <directory>/<nameB> one to end B; an
  // empty name links nothing. False (LastError(): EEXIST when the name is taken,
  // ENOENT or EACCES for the directory) leaves no new link behind.
  bool Link(const std::string& directory, const std::string& nameA, const std::string& nameB);

  // Removes the links that still lead to the ends, then stops the bridge and closes
  // both ends. Idempotent.
  void TearDown();

  int LastError() const { return m_lastError; }

  // One pty: its master (non-blocking) and its slave, held open in raw mode, and the
  // slave's path. Any thread. False on failure (errno set); whatever was opened is in
  // `master` and `slave` (else -1), for the caller to close.
  static bool OpenEnd(int& master, int& slave, std::string& path);

 private:
  bool Fail(int error);
  void Bridge();

  int m_masterA = -1;
  int m_masterB = -1;
  int m_slaveA = -1;
  int m_slaveB = -1;
  int m_wakeFd = -1;
  std::string m_pathA;
  std::string m_pathB;
  // Each link and the end it leads to.
  std::vector<std::pair<std::string, std::string>> m_links;
  std::thread m_bridge;
  int m_lastError = 0;
};
