#pragma once

#include "storage/CDatabaseInterface.h"
#include "storage/JAdo.h"

// The data store on SQLite: the only code that knows the tables, their columns and the
// statements that read and write them. Every value is bound as a parameter. Operations
// that need the database open it on demand with the last file name given. A new file
// gets all tables. One object per user, used on one thread.
class CAccessInterface : public CDatabaseInterface {
 public:
  CAccessInterface();

  int OpenDatabase(const std::string& name) override;
  int LoadTunnels(std::vector<TunnelInfo>& tunnels) override;
  int AddTunnel(const TunnelInfo& tunnel) override;
  int ModifyTunnel(const TunnelInfo& tunnel) override;
  int DeleteTunnel(const std::string& deviceId) override;
  int LoadSettings(SettingInfo& settings) override;
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

  bool IsOpen() const { return m_open; }

  // The engine's code of the last failure (see JAdo::LastError); a failed open gives the
  // open's code.
  int LastEngineError() const { return m_ado.LastError(); }
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
  // Opens with the stored name unless open; true when open afterwards.
  bool EnsureOpen();
  // Creates what a new file lacks: TunnelInfo, NotTransData and its index, and, for an
  // empty file, the settings table with its rows. False after an engine error.
  bool PrepareSchema();
  // 1 when the key has a row (value set), 0 when it has none, -1 when the read failed.
  int FindSetting(const std::string& key, std::string& value);
  // Runs `steps` in one transaction: committed when it returns true, else rolled back.
  template <typename Steps>
  int InTransaction(Steps steps);

  JAdo m_ado;
  bool m_open = false;
  bool m_openFailureNotice = true;
};
