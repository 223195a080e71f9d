#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct sqlite3_stmt;

// The rows of one select statement, read one at a time; owns the prepared statement.
// Used on the thread of the connection that made it, and read only while that connection
// is open (destroying it later is safe).
class CResultSet {
 public:
  explicit CResultSet(sqlite3_stmt* statement) : m_statement(statement) {}
  ~CResultSet();
  CResultSet(const CResultSet&) = delete;
  CResultSet& operator=(const CResultSet&) = delete;

  // Steps to the next row: true on a row; false at the end or after an engine error
  // (reported; Failed() then tells the two apart).
  bool MoveNext();

  // True after an engine error while stepping or a field name the rows do not have.
  bool Failed() const { return m_failed; }

  // A text value with white space removed at both ends; empty for nulls and values of
  // any other type.
  std::string GetFieldText(std::string_view field);

  // An integer value that fits 32 bits; 0 for anything else (nulls, texts, reals).
  std::int32_t GetFieldInt(std::string_view field);

  // An integer value; 0 for anything else.
  std::int64_t GetFieldInt64(std::string_view field);

  // True when the value is null (false too for a field name the rows do not have).
  bool IsNull(std::string_view field);

  // The exact bytes of a blob or text value, zero bytes included and nothing trimmed;
  // empty for anything else.
  std::string GetFieldBytes(std::string_view field);

 private:
  // The column of `field` (letter case ignored), or -1 after reporting an unknown name.
  int Column(std::string_view field);

  sqlite3_stmt* m_statement;
  bool m_failed = false;
};
