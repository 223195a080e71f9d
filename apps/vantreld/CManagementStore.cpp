#include "CManagementStore.h"

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
  return Failure(what + " in " + AppFilePath(DATABASE_FILE_NAME) + ": " + m_store.LastEngineErrorText());
}
