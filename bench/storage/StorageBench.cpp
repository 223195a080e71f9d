// Not-forwarded data on SQLite:
//   records per second written by the data center's writer thread, for bursts of 1, 100
//   and 5000 records of 100 bytes (each burst waited for until it is in the table);
//   a query of one device's day (1000 rows) among 1,000,000 rows.
// Runs in a temporary application directory, removed at the end.
#include <sqlite3.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "TempDir.h"
#include "core/CDataCenter.h"
#include "storage/CAccessInterface.h"

namespace {

using Clock = std::chrono::steady_clock;

double MillisSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// A plain reader that tells how many rows the table has by its last row id.
class RowCounter {
 public:
  explicit RowCounter(const std::string& path) {
    sqlite3_open(path.c_str(), &m_db);
    sqlite3_busy_timeout(m_db, 5000);
    sqlite3_prepare_v2(m_db, "select ifnull(max(rowid), 0) from NotTransData", -1, &m_statement, nullptr);
  }
  ~RowCounter() {
    sqlite3_finalize(m_statement);
    sqlite3_close(m_db);
  }
  long long Rows() {
    long long rows = -1;
    if (sqlite3_step(m_statement) == SQLITE_ROW) rows = sqlite3_column_int64(m_statement, 0);
    sqlite3_reset(m_statement);
    return rows;
  }

 private:
  sqlite3* m_db = nullptr;
  sqlite3_stmt* m_statement = nullptr;
};

void MeasureWriter(CDataCenter& center, RowCounter& counter, int burst, int bursts) {
  DataItem item{};
  SetDeviceId(item, "0000BEEF");
  item.Kind = DATA_USER;
  item.Length = 100;
  std::memset(item.Data, 0x5A, 100);

  long long expected = counter.Rows();
  std::vector<double> burstMs;
  const auto start = Clock::now();
  for (int b = 0; b < bursts; ++b) {
    const auto burstStart = Clock::now();
    for (int i = 0; i < burst; ++i) center.StoreNotTransData(item);
    expected += burst;
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (counter.Rows() < expected) {
      if (Clock::now() > deadline) {
        std::printf("bursts of %d: records not written within 60 s\n", burst);
        return;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    burstMs.push_back(MillisSince(burstStart));
  }
  const double seconds = MillisSince(start) / 1000;
  std::sort(burstMs.begin(), burstMs.end());
  std::printf("writer, bursts of %4d x 100 bytes: %9.0f records/s  (median burst %.2f ms, %d bursts)\n", burst,
              burst * static_cast<double>(bursts) / seconds, burstMs[burstMs.size() / 2], bursts);
}

void MeasureQuery() {
  CAccessInterface store;
  if (store.OpenDatabase("Query.db") != 1) return;
  // 100 devices x 10 days x 1000 rows a device-day, 100 bytes each, in one transaction.
  const auto buildStart = Clock::now();
  const int built = store.ExecuteSql(
      "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 999999) "
      "INSERT INTO NotTransData (ReceiveTime, DeviceID, ReceiveData) "
      "SELECT strftime('%Y/%m/%d %H:%M:%S', '2024-01-01', '+' || ((i / 100) / 1000) || ' days', "
      "'+' || (((i / 100) % 1000) * 86) || ' seconds'), printf('%08X', i % 100 + 1), randomblob(100) FROM n",
      {});
  if (built != 1) return;
  std::printf("query file: 1,000,000 rows built in %.0f ms\n", MillisSince(buildStart));
  store.CloseDatabase();
  if (store.OpenDatabase("Query.db") != 1) return;

  const NotTransFilter day{"00000032", "2024/01/05 00:00:00", "2024/01/05 23:59:59"};
  std::vector<double> ms;
  std::size_t delivered = 0;
  for (int round = 0; round < 20; ++round) {
    std::vector<NotTransRecord> records;
    bool more = false;
    const auto start = Clock::now();
    store.QueryNotTransData(day, records, 10000, &more);
    ms.push_back(MillisSince(start));
    delivered = records.size();
  }
  const double first = ms.front();
  std::sort(ms.begin(), ms.end());
  std::printf("query of one device-day among 1,000,000 rows: %zu records, first %.2f ms, median %.2f ms, max %.2f ms\n",
              delivered, first, ms[ms.size() / 2], ms.back());
}

}  // namespace

int main() {
  // Made before the data center, removed after it.
  static const TempDir directory("VANTREL_APP_DIR");
  CDataCenter& center = CDataCenter::Instance();
  {
    // The file with its tables exists before the first burst is timed.
    CAccessInterface schema;
    if (schema.OpenDatabase(DATABASE_FILE_NAME) != 1) return 1;
    RowCounter counter(directory.File(DATABASE_FILE_NAME));
    MeasureWriter(center, counter, 1, 2000);
    MeasureWriter(center, counter, 100, 200);
    MeasureWriter(center, counter, 5000, 20);
  }
  MeasureQuery();
  return 0;
}
