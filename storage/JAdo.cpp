#include "storage/JAdo.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/AppPaths.h"
#include "platform/WriteDebugLine.h"

namespace {

// True when `tail` (what the engine did not compile) holds nothing but blanks and ';'.
bool OnlyBlanks(const char* tail) {
  for (; *tail != '\0'; ++tail) {
    if (std::strchr(" \t\r\n;", *tail) == nullptr) return false;
  }
  return true;
}

// The engine's message for the connection's last failure, with the system's reason when
// the failure came from the file system (a directory, a file another user owns).
std::string FailureText(sqlite3* db) {
  std::string text = sqlite3_errmsg(db);
  const int systemError = sqlite3_system_errno(db);
  if (sqlite3_extended_errcode(db) == SQLITE_READONLY_DIRECTORY) {
    // The journal files beside it cannot be made.
    text += " (its directory cannot be written)";
  } else if (systemError != 0) {
    text += std::string(" (") + std::strerror(systemError) + ")";
  }
  return text;
}

// When the file cannot be made, the engine tries to open it for reading and keeps that
// attempt's "No such file or directory": name the folder's own problem instead.
std::string OpenFailureText(sqlite3* db, const std::string& path) {
  if (sqlite3_system_errno(db) == ENOENT) {
    std::error_code error;
    const std::string folder = std::filesystem::absolute(path, error).parent_path().string();
    if (!error && ::access(folder.c_str(), W_OK | X_OK) != 0 && errno != ENOENT)
      return std::string(sqlite3_errmsg(db)) + " (" + std::strerror(errno) + ": its folder " + folder +
             " cannot be written)";
  }
  return FailureText(db);
}

// `path` as the engine's URI file name: the characters a URI reserves are escaped.
std::string FileUri(const std::string& path) {
  std::string uri = "file:";
  for (const char c : path) {
    if (c == '%' || c == '?' || c == '#') {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", static_cast<unsigned char>(c));
      uri += escaped;
    } else {
      uri += c;
    }
  }
  return uri;
}

}  // namespace

JAdo::~JAdo() { CloseConnection(); }

void JAdo::ReportComError(int code, const std::string& message) {
  WriteDebugLine("[MSG]", "%d\n", code);
  WriteDebugLine("[MSG]", "%s\n", message.c_str());
}

void JAdo::Fail(int code, const std::string& message) {
  m_lastError = code;
  m_lastErrorText = message;
  ReportComError(code, message);
}

int JAdo::OpenAccessFile(const std::string& path, OpenMode mode) {
  CloseConnection();
  sqlite3* db = nullptr;
  const int access = mode == OpenMode::ReadOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
  if (mode == OpenMode::ReadWrite) {
    // A new file gets the folder's access here (the engine would make it readable by
    // everyone); its -wal and -shm files take the database file's. A file that cannot be
    // made is left to the engine, which tells why.
    std::error_code error;
    const std::string folder = std::filesystem::absolute(path, error).parent_path().string();
    const unsigned mode = DataFileMode(folder);
    const int made = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (made >= 0) {
      // The process's umask would take the group's write access off a shared folder's file.
      if (::fchmod(made, mode) != 0)
        WriteDebugLine("[WARN]", "%s keeps its first access bits: %s\n", path.c_str(), std::strerror(errno));
      ::close(made);
    }
  }
  const int rc = sqlite3_open_v2(path.c_str(), &db, access | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    // The handle (when there is one) carries the reason, e.g. the directory is missing.
    Fail(db != nullptr ? sqlite3_extended_errcode(db) : rc, db != nullptr ? OpenFailureText(db, path) : sqlite3_errstr(rc));
    sqlite3_close(db);
    return -1;
  }
  sqlite3_extended_result_codes(db, 1);
  sqlite3_busy_timeout(db, kBusyTimeoutMs);
  m_db = db;
  // The first statement reads the file: a file that is not a database fails here. A file
  // that may only be read keeps its journal mode: switching it would be a write.
  const bool readOnly = IsReadOnly();
  const char* check = readOnly ? "select count(*) from sqlite_master" : "PRAGMA journal_mode=WAL";
  if (ExecuteCommand(check) < 0) {
    m_lastErrorText = FailureText(m_db);
    const int primary = m_lastError & 0xFF;
    CloseConnection();
    // A reader that may not write the folder (a member of the service's group) cannot
    // make the index beside a WAL file. With no -wal file no connection is writing, so the
    // file is read as it stands.
    std::error_code error;
    const int failure = m_lastError;
    const std::string failureText = m_lastErrorText;
    if (!readOnly || (primary != SQLITE_READONLY && primary != SQLITE_CANTOPEN) ||
        std::filesystem::exists(path + "-wal", error) || !OpenUnchanging(path)) {
      m_lastError = failure;
      m_lastErrorText = failureText;
      return -1;
    }
  }
  m_lastError = 0;
  m_lastErrorText.clear();
  return 0;
}

bool JAdo::OpenUnchanging(const std::string& path) {
  sqlite3* db = nullptr;
  const std::string uri = FileUri(path) + "?immutable=1";
  if (sqlite3_open_v2(uri.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX, nullptr) !=
      SQLITE_OK) {
    sqlite3_close(db);
    return false;
  }
  sqlite3_extended_result_codes(db, 1);
  m_db = db;
  if (ExecuteCommand("select count(*) from sqlite_master") >= 0) return true;
  CloseConnection();
  return false;
}

bool JAdo::IsReadOnly() const { return m_db != nullptr && sqlite3_db_readonly(m_db, "main") == 1; }

std::int64_t JAdo::DataVersion() {
  auto rows = ExecuteQuery("PRAGMA data_version");
  if (!rows || !rows->MoveNext()) return -1;
  return rows->GetFieldInt64("data_version");
}

int JAdo::CloseConnection() {
  if (m_db == nullptr) return 0;
  for (auto& [sql, statement] : m_commands) sqlite3_finalize(statement);
  m_commands.clear();
  // A result set still alive keeps the engine's side of the connection until it goes.
  const int rc = sqlite3_close_v2(m_db);
  if (rc != SQLITE_OK) Fail(rc, sqlite3_errstr(rc));
  m_db = nullptr;
  return rc;
}

sqlite3_stmt* JAdo::Compile(const std::string& sql) {
  sqlite3_stmt* statement = nullptr;
  const char* tail = nullptr;
  if (sqlite3_prepare_v2(m_db, sql.c_str(), static_cast<int>(sql.size() + 1), &statement, &tail) != SQLITE_OK) {
    Fail(sqlite3_extended_errcode(m_db), sqlite3_errmsg(m_db));
    return nullptr;
  }
  if (statement == nullptr || !OnlyBlanks(tail)) {
    sqlite3_finalize(statement);
    Fail(SQLITE_MISUSE, statement == nullptr ? "no statement in: " + sql : "more than one statement in: " + sql);
    return nullptr;
  }
  return statement;
}

bool JAdo::Bind(sqlite3_stmt* statement, const SqlValues& values, const std::string& sql) {
  if (static_cast<int>(values.size()) != sqlite3_bind_parameter_count(statement)) {
    Fail(SQLITE_RANGE, "values do not match the placeholders of: " + sql);
    return false;
  }
  for (std::size_t i = 0; i < values.size(); ++i) {
    const SqlValue& value = values[i];
    const int index = static_cast<int>(i + 1);
    const int size = static_cast<int>(value.Bytes.size());
    const int rc = value.Blob ? sqlite3_bind_blob(statement, index, value.Bytes.data(), size, SQLITE_TRANSIENT)
                              : sqlite3_bind_text(statement, index, value.Bytes.data(), size, SQLITE_TRANSIENT);
    if (rc != SQLITE_OK) {
      Fail(sqlite3_extended_errcode(m_db), sqlite3_errmsg(m_db));
      return false;
    }
  }
  return true;
}

std::unique_ptr<CResultSet> JAdo::ExecuteQuery(const std::string& sql, const SqlValues& values) {
  if (m_db == nullptr) return nullptr;
  sqlite3_stmt* statement = Compile(sql);
  if (statement == nullptr) return nullptr;
  if (!Bind(statement, values, sql)) {
    sqlite3_finalize(statement);
    return nullptr;
  }
  return std::make_unique<CResultSet>(statement);
}

int JAdo::ExecuteCommand(const std::string& sql, const SqlValues& values) {
  if (m_db == nullptr) return 0;
  sqlite3_stmt* statement = nullptr;
  bool cached = false;
  if (auto found = m_commands.find(sql); found != m_commands.end()) {
    statement = found->second;
    cached = true;
  } else {
    statement = Compile(sql);
    if (statement == nullptr) return -1;
    if (m_commands.size() < kCachedCommands) {
      m_commands.emplace(sql, statement);
      cached = true;
    }
  }
  int rc = SQLITE_MISUSE;
  if (Bind(statement, values, sql)) {
    // A statement may return rows (a pragma does); step past them.
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
    }
    if (rc != SQLITE_DONE) Fail(sqlite3_extended_errcode(m_db), sqlite3_errmsg(m_db));
  }
  if (cached) {
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
  } else {
    sqlite3_finalize(statement);
  }
  return rc == SQLITE_DONE ? sqlite3_changes(m_db) : -1;
}

std::int64_t JAdo::ChangedRows() const { return m_db == nullptr ? 0 : sqlite3_changes64(m_db); }

bool JAdo::BeginTrans() { return m_db != nullptr && ExecuteCommand("BEGIN") >= 0; }

bool JAdo::CommitTrans() { return m_db != nullptr && ExecuteCommand("COMMIT") >= 0; }

bool JAdo::RollbackTrans() {
  // The engine may already have rolled back (after a full disk, for example).
  if (m_db == nullptr || sqlite3_get_autocommit(m_db) != 0) return m_db != nullptr;
  return ExecuteCommand("ROLLBACK") >= 0;
}
