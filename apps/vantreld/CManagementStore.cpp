#include "CManagementStore.h"

#include <filesystem>

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

bool CManagementStore::OpenForReading() {
  std::error_code error;
  // A missing file is made as for any command, so that a first look shows the defaults.
  if (!std::filesystem::exists(AppFilePath(DATABASE_FILE_NAME), error)) return Open();
  if (m_store.OpenDatabaseReadOnly(DATABASE_FILE_NAME) == 1) return true;
  Failed("cannot open the database");
  return false;
}

int CManagementStore::Failed(const std::string& what) const {
  return Failure(what + " in " + AppFilePath(DATABASE_FILE_NAME) + ": " + m_store.LastFailureText());
}
