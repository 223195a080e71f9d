#include "CManagementStore.h"

#include <sqlite3.h>

#include "CommandStatus.h"
#include "platform/AppPaths.h"

CManagementStore::CManagementStore() {
  // The command tells the failure itself, with the engine's reason.
  m_store.SetOpenFailureNotice(false);
}

bool CManagementStore::Open() {
  if (m_store.OpenDatabase(DATABASE_FILE_NAME) == 1) return true;
  Failed("cannot open the database");
  return false;
}

int CManagementStore::Failed(const std::string& what) const {
  const int code = m_store.LastEngineError();
  std::string reason = code != 0 ? sqlite3_errstr(code) : "unknown error";
  return Failure(what + " in " + AppFilePath(DATABASE_FILE_NAME) + ": " + reason);
}
