#include "storage/CResultSet.h"

#include <sqlite3.h>
#include <strings.h>

#include <cstring>
#include <limits>

#include "storage/JAdo.h"

CResultSet::~CResultSet() { sqlite3_finalize(m_statement); }

bool CResultSet::MoveNext() {
  if (m_failed) return false;
  const int rc = sqlite3_step(m_statement);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  sqlite3* db = sqlite3_db_handle(m_statement);
  JAdo::ReportComError(sqlite3_extended_errcode(db), sqlite3_errmsg(db));
  m_failed = true;
  return false;
}

int CResultSet::Column(std::string_view field) {
  const int count = sqlite3_column_count(m_statement);
  for (int i = 0; i < count; ++i) {
    const char* name = sqlite3_column_name(m_statement, i);
    if (name != nullptr && field.size() == std::strlen(name) && strncasecmp(name, field.data(), field.size()) == 0)
      return i;
  }
  JAdo::ReportComError(SQLITE_RANGE, "no field " + std::string(field));
  m_failed = true;
  return -1;
}

std::string CResultSet::GetFieldText(std::string_view field) {
  const int column = Column(field);
  if (column < 0 || sqlite3_column_type(m_statement, column) != SQLITE_TEXT) return {};
  const char* text = reinterpret_cast<const char*>(sqlite3_column_text(m_statement, column));
  std::string_view value(text, static_cast<std::size_t>(sqlite3_column_bytes(m_statement, column)));
  constexpr std::string_view kBlanks = " \t\r\n\v\f";
  const std::size_t first = value.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  return std::string(value.substr(first, value.find_last_not_of(kBlanks) - first + 1));
}

std::int32_t CResultSet::GetFieldInt(std::string_view field) {
  const int column = Column(field);
  if (column < 0 || sqlite3_column_type(m_statement, column) != SQLITE_INTEGER) return 0;
  const sqlite3_int64 value = sqlite3_column_int64(m_statement, column);
  if (value < std::numeric_limits<std::int32_t>::min() || value > std::numeric_limits<std::int32_t>::max()) return 0;
  return static_cast<std::int32_t>(value);
}

std::int64_t CResultSet::GetFieldInt64(std::string_view field) {
  const int column = Column(field);
  if (column < 0 || sqlite3_column_type(m_statement, column) != SQLITE_INTEGER) return 0;
  return sqlite3_column_int64(m_statement, column);
}

bool CResultSet::IsNull(std::string_view field) {
  const int column = Column(field);
  return column >= 0 && sqlite3_column_type(m_statement, column) == SQLITE_NULL;
}

std::string CResultSet::GetFieldBytes(std::string_view field) {
  const int column = Column(field);
  if (column < 0) return {};
  const int type = sqlite3_column_type(m_statement, column);
  if (type != SQLITE_BLOB && type != SQLITE_TEXT) return {};
  const void* data = sqlite3_column_blob(m_statement, column);
  const int length = sqlite3_column_bytes(m_statement, column);
  return data == nullptr ? std::string() : std::string(static_cast<const char*>(data), static_cast<std::size_t>(length));
}
