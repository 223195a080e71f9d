#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "FreePort.h"
#include "SerialFixture.h"
#include "TestDevice.h"
#include "Vantreld.h"
#include "WaitFor.h"

// What the fault tests share: vantreld as a process on 127.0.0.1 in an application
// directory of the test's choice, and the stored not-forwarded data read apart from it.

// `count` units of 8 bytes, each its own number from `first` on ("0000042\n"): any stretch
// of a few units tells where in the stream it was cut from.
inline Bytes Units(std::size_t first, std::size_t count) {
  Bytes data;
  data.reserve(count * 8);
  for (std::size_t unit = first; unit < first + count; ++unit) {
    char text[9];
    std::snprintf(text, sizeof text, "%07zu\n", unit % 10000000);
    data.insert(data.end(), text, text + 8);
  }
  return data;
}

inline std::string DeviceId(std::uint32_t number) {
  char id[9];
  std::snprintf(id, sizeof id, "%08X", number);
  return id;
}

// A plain engine connection of its own to Info.db: each call reads what is committed now.
class StoredFile {
 public:
  explicit StoredFile(const std::string& path) {
    EXPECT_EQ(sqlite3_open_v2(path.c_str(), &m_db, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK) << path;
    sqlite3_busy_timeout(m_db, 10000);
  }
  ~StoredFile() { sqlite3_close(m_db); }
  StoredFile(const StoredFile&) = delete;
  StoredFile& operator=(const StoredFile&) = delete;

  // Each row's rowid and data, in the order they were stored.
  std::vector<std::pair<std::int64_t, Bytes>> Rows(const std::string& deviceId) {
    std::vector<std::pair<std::int64_t, Bytes>> rows;
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(m_db, "select rowid, ReceiveData from NotTransData where DeviceID = ? order by rowid", -1,
                           &statement, nullptr) != SQLITE_OK) {
      ADD_FAILURE() << sqlite3_errmsg(m_db);
      return rows;
    }
    sqlite3_bind_text(statement, 1, deviceId.c_str(), -1, SQLITE_TRANSIENT);
    while (sqlite3_step(statement) == SQLITE_ROW) {
      const auto* data = static_cast<const unsigned char*>(sqlite3_column_blob(statement, 1));
      rows.emplace_back(sqlite3_column_int64(statement, 0),
                        Bytes(data, data + sqlite3_column_bytes(statement, 1)));
    }
    sqlite3_finalize(statement);
    return rows;
  }

  // The device's stored data as one stream.
  Bytes Data(const std::string& deviceId) {
    Bytes all;
    for (const auto& [rowid, data] : Rows(deviceId)) all.insert(all.end(), data.begin(), data.end());
    return all;
  }

  // The first result row of `sql`, its first column as text ("" when there is none).
  std::string Scalar(const std::string& sql) {
    sqlite3_stmt* statement = nullptr;
    std::string value;
    if (sqlite3_prepare_v2(m_db, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
      ADD_FAILURE() << sql << ": " << sqlite3_errmsg(m_db);
      return value;
    }
    if (sqlite3_step(statement) == SQLITE_ROW && sqlite3_column_text(statement, 0) != nullptr)
      value = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
    sqlite3_finalize(statement);
    return value;
  }

  // The engine's code of `sql` run to its end.
  int Exec(const std::string& sql) { return sqlite3_exec(m_db, sql.c_str(), nullptr, nullptr, nullptr); }

 private:
  sqlite3* m_db = nullptr;
};

// vantreld in `dir`, listening on 127.0.0.1 at a free port, set up through its own commands.
class FaultService {
 public:
  explicit FaultService(const std::string& dir) : m_dir(dir), m_process(dir) {}

  // The listener and `extra` settings, then a tunnel from each device number to its port.
  void Configure(const std::vector<std::pair<std::uint32_t, std::string>>& tunnels, const std::string& extra = "") {
    ASSERT_EQ(m_process.Run("settings set --ip 127.0.0.1 --port " + std::to_string(port) + " --delay 0 " + extra), 0)
        << m_process.Errors();
    for (const auto& [number, portName] : tunnels)
      ASSERT_EQ(m_process.Run("tunnel add " + DeviceId(number) + " --port " + portName), 0) << m_process.Errors();
  }

  void Start(const std::string& arguments = "") {
    m_process.Start(arguments);
    ASSERT_TRUE(WaitFor([&] { return m_process.Output().find(kStarted) != std::string::npos; }))
        << m_process.Errors();
  }

  // Once the device's registration has been taken (its line written).
  bool Registered(std::uint32_t number) {
    return WaitFor([&] { return Output().find("Device " + DeviceId(number) + " registered") != std::string::npos; });
  }

  bool OutputHas(const std::string& text) {
    return WaitFor([&] { return Output().find(text) != std::string::npos; }, std::chrono::seconds(60));
  }
  bool ErrorsHave(const std::string& text) {
    return WaitFor([&] { return Errors().find(text) != std::string::npos; }, std::chrono::seconds(60));
  }

  std::string Output() { return m_process.Output(); }
  std::string Errors() { return m_process.Errors(); }
  Vantreld& Process() { return m_process; }
  std::string Database() const { return m_dir + "/Info.db"; }

  const std::uint16_t port = FreePort();

 private:
  std::string m_dir;
  Vantreld m_process;
};

// Times `text` occurs in `in`.
inline std::size_t Occurrences(const std::string& in, const std::string& text) {
  std::size_t count = 0;
  for (std::size_t at = in.find(text); at != std::string::npos; at = in.find(text, at + text.size())) ++count;
  return count;
}
