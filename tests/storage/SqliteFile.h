#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>
#include <vector>

// A plain engine connection to a test's database file, apart from the code under test:
// for setting a file up (triggers, dropped rows) and for reading what was stored.
class SqliteFile {
 public:
  explicit SqliteFile(const std::string& path) {
    EXPECT_EQ(sqlite3_open(path.c_str(), &m_db), SQLITE_OK) << path;
    sqlite3_busy_timeout(m_db, 10000);
  }
  ~SqliteFile() { sqlite3_close(m_db); }
  SqliteFile(const SqliteFile&) = delete;
  SqliteFile& operator=(const SqliteFile&) = delete;

  void Exec(const std::string& sql) {
    char* error = nullptr;
    EXPECT_EQ(sqlite3_exec(m_db, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK) << sql << ": " << (error ? error : "");
    sqlite3_free(error);
  }

  // Every row of `sql`, each column as text ("NULL" for nulls).
  std::vector<std::vector<std::string>> Rows(const std::string& sql) {
    std::vector<std::vector<std::string>> rows;
    sqlite3_stmt* statement = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(m_db, sql.c_str(), -1, &statement, nullptr), SQLITE_OK) << sql;
    while (statement != nullptr && sqlite3_step(statement) == SQLITE_ROW) {
      std::vector<std::string> row;
      for (int i = 0; i < sqlite3_column_count(statement); ++i) {
        const unsigned char* text = sqlite3_column_text(statement, i);
        row.emplace_back(text == nullptr ? "NULL" : reinterpret_cast<const char*>(text));
      }
      rows.push_back(std::move(row));
    }
    sqlite3_finalize(statement);
    return rows;
  }

  std::string Scalar(const std::string& sql) {
    const auto rows = Rows(sql);
    return rows.empty() || rows[0].empty() ? std::string("<none>") : rows[0][0];
  }

 private:
  sqlite3* m_db = nullptr;
};
