#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "storage/CResultSet.h"
#include "storage/SqlValue.h"

struct sqlite3;

// One connection to a SQLite database file. Every engine error it meets becomes two
// "[MSG]" diagnostic lines (the engine's code, then its message) instead of escaping.
// A JAdo belongs to the thread that uses it: create, use and destroy it on one thread.
// Each connection uses WAL journal mode and a busy timeout, so several connections
// (in this process or others) share the file.
class JAdo {
 public:
  // A statement waits this long for another connection's write lock before failing busy.
  static constexpr int kBusyTimeoutMs = 2000;

  JAdo() = default;
  virtual ~JAdo();
  JAdo(const JAdo&) = delete;
  JAdo& operator=(const JAdo&) = delete;

  enum class OpenMode { ReadWrite, ReadOnly };

  // Closes an open connection, then opens the file at `path` and checks that it is a
  // database: read-write opens create a missing file and switch it to WAL; a read-only
  // open, or a file the process may only read, is read as it is (its journal mode stays;
  // a WAL file in a folder it may not write is read as it stands while nobody writes it).
  // 0 on success; -1 on failure, with the diagnostic lines, LastErrorText() and the
  // object left not connected.
  int OpenAccessFile(const std::string& path, OpenMode mode = OpenMode::ReadWrite);

  // The engine's close result; 0 when nothing was open. Not connected afterwards.
  int CloseConnection();

  bool IsConnected() const { return m_db != nullptr; }

  // True while connected to a file that this connection cannot write: opened read-only,
  // or the file's permissions allow no more.
  bool IsReadOnly() const;

  // Changes when another connection (in any process) commits to the file; -1 while not
  // connected or after an engine error (reported).
  std::int64_t DataVersion();

  // Runs one select statement with `values` bound to its '?' in order. The rows, or null
  // while not connected or after an engine error (reported).
  std::unique_ptr<CResultSet> ExecuteQuery(const std::string& sql, const SqlValues& values = {});

  // Runs one statement. Rows changed (0 for a statement that changes none, and 0 while
  // not connected, without touching the engine); -1 after an engine error (reported).
  // Text after the first statement is an error, never silently dropped.
  int ExecuteCommand(const std::string& sql, const SqlValues& values = {});
  // Rows the last completed insert, update or delete changed; 0 while not connected.
  std::int64_t ChangedRows() const;

  // BEGIN, COMMIT, ROLLBACK. False after an engine error (reported) or while not connected.
  bool BeginTrans();
  bool CommitTrans();
  bool RollbackTrans();

  // The engine's extended code of the last failure (open included), kept until the next
  // failure or successful open, so that it survives the rollback that follows a failure.
  int LastError() const { return m_lastError; }
  // The engine's message for that failure (with the system's reason where the engine
  // gives one), empty after a successful open.
  const std::string& LastErrorText() const { return m_lastErrorText; }

  // Writes the two "[MSG]" lines of an engine error. Any thread.
  static void ReportComError(int code, const std::string& message);
  // Records and reports a failure the caller found in what the engine gave (a damaged file
  // whose index and table disagree), as LastError and LastErrorText tell an engine error.
  void Fail(int code, const std::string& message);

 private:
  // Commands run again and again (an insert per not-forwarded row) keep their compiled
  // form; past this many distinct texts, new ones are compiled for each run.
  static constexpr std::size_t kCachedCommands = 32;

  // Compiles exactly one statement; null after an engine error (reported).
  sqlite3_stmt* Compile(const std::string& sql);
  // Binds `values` to the placeholders in order; false after an error (reported).
  bool Bind(sqlite3_stmt* statement, const SqlValues& values, const std::string& sql);
  // Opens `path` for reading as a file that nobody changes meanwhile (no locks, no WAL
  // index); false when it cannot be read that way either.
  bool OpenUnchanging(const std::string& path);

  sqlite3* m_db = nullptr;
  std::map<std::string, sqlite3_stmt*, std::less<>> m_commands;
  int m_lastError = 0;
  std::string m_lastErrorText;
};
