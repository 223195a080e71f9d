#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "model/NotTransRecord.h"
#include "model/SettingInfo.h"
#include "model/TunnelBinding.h"
#include "model/TunnelInfo.h"
#include "storage/NotTransFilter.h"
#include "storage/SqlValue.h"

// The database file every part of the program opens, in the application directory.
inline constexpr char DATABASE_FILE_NAME[] = "Info.db";

// Gets each matching not-forwarded row in turn (the record is valid during the call);
// returns false to stop early.
using NotTransVisitor = std::function<bool(const NotTransRecord& record)>;

// What the rest of the program asks of the data store: tunnels, settings and
// not-forwarded data. Each user owns its own object and uses it on one thread.
// int results are 1 for success and 0 for failure unless said otherwise.
class CDatabaseInterface {
 public:
  virtual ~CDatabaseInterface() = default;

  // Opens `name` in the application directory; on failure the user is told and 0 returned.
  virtual int OpenDatabase(const std::string& name) = 0;
  // With `problems`, each row that can never work (an ID that is not 8 hexadecimal
  // digits, a rate or data bits a port cannot be set to) adds a line naming the row.
  virtual int LoadTunnels(std::vector<TunnelInfo>& tunnels, std::vector<std::string>* problems = nullptr) = 0;
  virtual int AddTunnel(const TunnelInfo& tunnel) = 0;
  // Deletes the row of tunnel.DeviceID, then inserts the record.
  virtual int ModifyTunnel(const TunnelInfo& tunnel) = 0;
  virtual int DeleteTunnel(const std::string& deviceId) = 0;
  // The rows of TunnelBinding as stored; a file without the table has none.
  virtual int LoadBindings(std::vector<TunnelBinding>& bindings) = 0;
  // Stores the binding of binding.DeviceID, replacing its row; one with neither phone nor
  // networks deletes the row.
  virtual int SaveBinding(const TunnelBinding& binding) = 0;
  // Deletes the binding row of the ID; an absent row is no failure.
  virtual int DeleteBinding(const std::string& deviceId) = 0;
  // Members whose stored value is empty or missing keep their value. A value that is not
  // a number or lies outside the settings dialog's range is replaced (DelayComRead,
  // EventsKeepDays and OfflineAlarmSeconds clamped, others their default; a text setting
  // its check refuses left empty) and, with `problems`, adds a line naming the key, the
  // stored value and the value used. Always 1.
  virtual int LoadSettings(SettingInfo& settings, std::vector<std::string>* problems = nullptr) = 0;
  virtual int SaveSettings(const SettingInfo& settings) = 0;
  // The whole batch in one transaction: all stored, or none.
  virtual int SaveNotTransData(const std::vector<NotTransRecord>& records) = 0;
  // Appends at most maxRecords matching records; *moreMatched (when given) tells whether
  // further rows matched. Records delivered; -1 when the database cannot be opened or
  // the query fails.
  virtual std::int64_t QueryNotTransData(const NotTransFilter& filter, std::vector<NotTransRecord>& records,
                                         std::size_t maxRecords, bool* moreMatched) = 0;
  virtual int DeleteNotTransData(const NotTransFilter& filter) = 0;
  virtual int DeleteAllNotTransData() = 0;
  // The connection's close result.
  virtual int CloseDatabase() = 0;
  // 1 if the settings table was created now (with its default rows); 0 if it existed
  // (missing rows are added) or could not be made.
  virtual int InitSettingTable() = 0;
  // True when the key has a row; `value` is then its value, else left as it was.
  // Never opens the database.
  virtual bool GetSetting(const std::string& key, std::string& value) = 0;
  virtual int SetSetting(const std::string& key, const std::string& value) = 0;
  // Runs a select of NotTransData rows with `values` bound and hands each row to `visit`
  // without keeping it. Rows visited; -1 as for QueryNotTransData.
  virtual std::int64_t QueryNotTransDataSql(const std::string& select, const SqlValues& values,
                                            const NotTransVisitor& visit) = 0;
  virtual int ExecuteSql(const std::string& statement, const SqlValues& values) = 0;
  // The condition text (with '?' placeholders) and its values for `filter`.
  virtual SqlCondition BuildNotTransCondition(const NotTransFilter& filter) = 0;
  // Every matching row in turn, none held after its visit: for listing any number of
  // rows. Rows visited; -1 as for QueryNotTransData.
  virtual std::int64_t VisitNotTransData(const NotTransFilter& filter, const NotTransVisitor& visit) = 0;

 protected:
  // Ends in a path separator; taken from the process's application directory.
  std::string m_appDirectory;
  std::string m_fileName;
};
