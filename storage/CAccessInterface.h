#pragma once

#include "model/DeviceEvent.h"
#include "storage/CDatabaseInterface.h"
#include "storage/JAdo.h"
#include "storage/StoredRow.h"

// The data store on SQLite: the only code that knows the tables, their columns and the
// statements that read and write them. Every value is bound as a parameter. Operations
// that need the database open it on demand with the last file name given. A new file
// gets all tables. One object per user, used on one thread.
class CAccessInterface : public CDatabaseInterface {
 public:
  CAccessInterface();

  int OpenDatabase(const std::string& name) override;
  int LoadTunnels(std::vector<TunnelInfo>& tunnels, std::vector<std::string>* problems = nullptr) override;
  int AddTunnel(const TunnelInfo& tunnel) override;
  int ModifyTunnel(const TunnelInfo& tunnel) override;
  int DeleteTunnel(const std::string& deviceId) override;
  int LoadBindings(std::vector<TunnelBinding>& bindings) override;
  int SaveBinding(const TunnelBinding& binding) override;
  int DeleteBinding(const std::string& deviceId) override;
  int LoadSettings(SettingInfo& settings, std::vector<std::string>* problems = nullptr) override;
  int SaveSettings(const SettingInfo& settings) override;
  int SaveNotTransData(const std::vector<NotTransRecord>& records) override;
  std::int64_t QueryNotTransData(const NotTransFilter& filter, std::vector<NotTransRecord>& records,
                                 std::size_t maxRecords, bool* moreMatched) override;
  int DeleteNotTransData(const NotTransFilter& filter) override;
  int DeleteAllNotTransData() override;
  int CloseDatabase() override;
  int InitSettingTable() override;
  bool GetSetting(const std::string& key, std::string& value) override;
  int SetSetting(const std::string& key, const std::string& value) override;
  std::int64_t QueryNotTransDataSql(const std::string& select, const SqlValues& values,
                                    const NotTransVisitor& visit) override;
  int ExecuteSql(const std::string& statement, const SqlValues& values) override;
  SqlCondition BuildNotTransCondition(const NotTransFilter& filter) override;
  std::int64_t VisitNotTransData(const NotTransFilter& filter, const NotTransVisitor& visit) override;

  // Opens `name` for reading only: nothing is created or changed, the file may be one this
  // process cannot write. Later opens on demand are read-only too. As OpenDatabase.
  int OpenDatabaseReadOnly(const std::string& name);

  bool IsOpen() const { return m_open; }
  // True while open on a file this store cannot write (opened read-only, or the file's
  // permissions allow no more).
  bool IsReadOnly() const;

  // Why the last open or statement failed, in the engine's words (with the system's
  // reason where there is one).
  std::string LastFailureText() const;

  // The bytes of NotTransData's values (time, device ID and data of every row); -1 when
  // the database cannot be opened or read. Reads the whole table.
  std::int64_t NotTransBytes();
  // What SaveNotTransData adds to NotTransBytes for `record`.
  static std::int64_t NotTransRecordBytes(const NotTransRecord& record);
  // Changes whenever another connection commits to the file; -1 when it cannot be read.
  std::int64_t DataVersion();

  // The stored rows of one device after `after` (by ReceiveTime, then in the order
  // stored), oldest first, at most `maxRows`, appended to `rows`. Rows without a time are
  // not read; a row of more than `maxBytes` (only another program writes those) comes
  // marked TooLarge without its data. The rows read; -1 when the database cannot be
  // opened or read.
  std::int64_t ReadStoredRows(const std::string& deviceId, const StoredRow& after, std::size_t maxRows,
                              std::size_t maxBytes, std::vector<StoredRow>& rows);
  // Deletes the rows in one transaction, each only while it is still as it was read (a
  // VACUUM by another program may give its row ID to another row).
  int DeleteStoredRows(const std::vector<StoredRow>& rows);
  // Keeps of `row` only its bytes from `from` on: the port took those before.
  int KeepStoredRest(const StoredRow& row, std::size_t from);

  // The device history (DeviceEvents): the whole batch in one transaction.
  int SaveDeviceEvents(const std::vector<DeviceEvent>& events);
  // The newest `maxEvents` matching events, oldest first, each handed to `visit` (valid
  // during the call; false stops); *moreMatched (when given) tells whether older ones
  // matched too. Events visited; -1 when the database cannot be opened or read. A file
  // without the table (an older one opened read-only) has none.
  std::int64_t VisitDeviceEvents(const DeviceEventFilter& filter, std::size_t maxEvents,
                                 const std::function<bool(const DeviceEvent&)>& visit, bool* moreMatched);
  // Deletes the events from before `time` (as stored); ChangedRows says how many.
  int DeleteDeviceEventsBefore(const std::string& time);

  // The engine's code of the last failure (see JAdo::LastError); a failed open gives the
  // open's code.
  int LastEngineError() const { return m_ado.LastError(); }
  // Rows the last completed insert, update or delete changed (a delete: the rows deleted).
  std::int64_t ChangedRows() const { return m_ado.ChangedRows(); }
  // Whether the last failure may pass on a retry: another connection holds the file, or
  // the disk or the file system is (for now) full, read-only or failing. Anything else
  // means the engine rejected the data.
  bool LastErrorIsTransient() const;
  // The engine's description of the last failure; "unknown error" when there is none.
  std::string LastEngineErrorText() const;

  // Whether a failed open shows the notice (the default) or only writes a diagnostic
  // line: a caller that retries shows it once, not on every attempt.
  void SetOpenFailureNotice(bool show) { m_openFailureNotice = show; }

 private:
  // Opens `name` in the mode of the last OpenDatabase or OpenDatabaseReadOnly.
  int Open(const std::string& name);
  // Opens with the stored name unless open; true when open afterwards.
  bool EnsureOpen();
  // Creates what a file lacks: TunnelInfo, NotTransData and its index, TunnelBinding,
  // DeviceEvents and its index, and, for an empty file, the settings table with its rows.
  // False after an engine error; a file that may only be read and lacks only the later
  // tables (TunnelBinding, DeviceEvents) is used as it is.
  bool PrepareSchema();
  // 1 when the key has a row (value set, *isNull telling a null value), 0 when it has
  // none, -1 when the read failed.
  int FindSetting(const std::string& key, std::string& value, bool* isNull = nullptr);
  // 1 when the table exists, 0 when not, -1 when that cannot be read.
  int HasTable(const std::string& name);
  // Runs `steps` in one transaction: committed when it returns true, else rolled back.
  template <typename Steps>
  int InTransaction(Steps steps);

  JAdo m_ado;
  bool m_open = false;
  bool m_openFailureNotice = true;
  bool m_readOnly = false;
  // Why the last open failed; empty after a successful one.
  std::string m_failure;
};
