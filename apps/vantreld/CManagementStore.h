#pragma once

#include <string>

#include "storage/CAccessInterface.h"

// The data store of one management command: Info.db in the application directory,
// created with all its tables when missing. Failures are told on stderr with the
// engine's reason. Main thread only.
class CManagementStore {
 public:
  CManagementStore();

  // Opens the file; false (with the reason on stderr) when it cannot be opened.
  bool Open();
  // Opens the file for reading only, so that a file this user cannot write can be looked
  // at; as Open when the file is missing.
  bool OpenForReading();

  CAccessInterface& Store() { return m_store; }

  // Writes "<what> in <path>: <engine's reason>" on stderr; returns kExitFailure.
  int Failed(const std::string& what) const;

 private:
  CAccessInterface m_store;
};
