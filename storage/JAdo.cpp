#include "storage/JAdo.h"

#include <sqlite3.h>

#include <cstring>

#include "core/WriteDebugLine.h"

namespace {

// True when `tail` (what the engine did not compile) holds nothing but blanks and ';'.
bool OnlyBlanks(const char* tail) {
  for (; *tail != '\0'; ++tail) {
    if (std::strchr(" \t\r\n;", *tail) == nullptr) return false;
  }
  return true;
}

}  // namespace

JAdo::~JAdo() { CloseConnection(); }

void JAdo::ReportComError(int code, const std::string& message) {
  WriteDebugLine("[MSG]", "%d\n", code);
  WriteDebugLine("[MSG]", "%s\n", message.c_str());
}

void JAdo::Fail(int code, const std::string& message) {
  m_lastError = code;
  ReportComError(code, message);
}

int JAdo::OpenAccessFile(const std::string& path) {
  CloseConnection();
  sqlite3* db = nullptr;
  const int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                                 nullptr);
  if (rc != SQLITE_OK) {
    // The handle (when there is one) carries the reason, e.g. the directory is missing.
    Fail(db != nullptr ? sqlite3_extended_errcode(db) : rc, db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
    sqlite3_close(db);
    return -1;
  }
  sqlite3_extended_result_codes(db, 1);
  sqlite3_busy_timeout(db, kBusyTimeoutMs);
  m_db = db;
  // The first statement reads the file: a file that is not a database fails here.
  if (ExecuteCommand("PRAGMA journal_mode=WAL") < 0) {
    CloseConnection();
    return -1;
  }
  m_lastError = 0;
  return 0;
}

int JAdo::CloseConnection() {
  if (m_db == nullptr) return 0;
  // Every statement is finalized by its owner before this point, so close cannot be busy.
  const int rc = sqlite3_close(m_db);
  if (rc != SQLITE_OK) {
    Fail(rc, sqlite3_errmsg(m_db));
    return rc;
  }
  m_db = nullptr;
  return rc;
}

sqlite3_stmt* JAdo::Prepare(const std::string& sql, const SqlValues& values) {
  sqlite3_stmt* statement = nullptr;
  const char* tail = nullptr;
  int rc = sqlite3_prepare_v2(m_db, sql.c_str(), static_cast<int>(sql.size() + 1), &statement, &tail);
  if (rc != SQLITE_OK) {
    Fail(sqlite3_extended_errcode(m_db), sqlite3_errmsg(m_db));
    return nullptr;
  }
  if (statement == nullptr || !OnlyBlanks(tail)) {
    sqlite3_finalize(statement);
    Fail(SQLITE_MISUSE, statement == nullptr ? "no statement in: " + sql : "more than one statement in: " + sql);
    return nullptr;
  }
  if (static_cast<int>(values.size()) != sqlite3_bind_parameter_count(statement)) {
    sqlite3_finalize(statement);
    Fail(SQLITE_RANGE, "values do not match the placeholders of: " + sql);
    return nullptr;
  }
  for (std::size_t i = 0; i < values.size(); ++i) {
    const SqlValue& value = values[i];
    const int index = static_cast<int>(i + 1);
    rc = value.Blob ? sqlite3_bind_blob(statement, index, value.Bytes.data(), static_cast<int>(value.Bytes.size()),
                                        SQLITE_TRANSIENT)
                    : sqlite3_bind_text(statement, index, value.Bytes.data(), static_cast<int>(value.Bytes.size()),
                                        SQLITE_TRANSIENT);
    if (rc != SQLITE_OK) {
      Fail(sqlite3_extended_errcode(m_db), sqlite3_errmsg(m_db));
      sqlite3_finalize(statement);
      return nullptr;
    }
  }
  return statement;
}

std::unique_ptr<CResultSet> JAdo::ExecuteQuery(const std::string& sql, const SqlValues& values) {
  if (m_db == nullptr) return nullptr;
  sqlite3_stmt* statement = Prepare(sql, values);
  if (statement == nullptr) return nullptr;
  return std::make_unique<CResultSet>(statement);
}

int JAdo::ExecuteCommand(const std::string& sql, const SqlValues& values) {
  if (m_db == nullptr) return 0;
  sqlite3_stmt* statement = Prepare(sql, values);
  if (statement == nullptr) return -1;
  int rc;
  // A statement may return rows (a pragma does); step past them.
  while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
  }
  sqlite3_finalize(statement);
  if (rc != SQLITE_DONE) {
    Fail(sqlite3_extended_errcode(m_db), sqlite3_errmsg(m_db));
    return -1;
  }
  return sqlite3_changes(m_db);
}

bool JAdo::BeginTrans() { return m_db != nullptr && ExecuteCommand("BEGIN") >= 0; }

bool JAdo::CommitTrans() { return m_db != nullptr && ExecuteCommand("COMMIT") >= 0; }

bool JAdo::RollbackTrans() {
  // The engine may already have rolled back (after a full disk, for example).
  if (m_db == nullptr || sqlite3_get_autocommit(m_db) != 0) return m_db != nullptr;
  return ExecuteCommand("ROLLBACK") >= 0;
}
