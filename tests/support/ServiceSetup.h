#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "model/SettingInfo.h"
#include "storage/CAccessInterface.h"

// The settings of a service under test: listening on 127.0.0.1:`port`, ports read without
// an idle wait.
inline void UseLoopbackSettings(std::uint16_t port) {
  SettingInfo settings;
  settings.LocalIp = "127.0.0.1";
  settings.LocalPort = port;
  settings.DelayComRead = 0;
  ReplaceSettings(settings);
}

// The not-forwarded records of `deviceId` stored in Info.db now (at most `limit`); false
// when the store cannot be read or holds none.
inline bool StoredRecordsOf(const std::string& deviceId, std::vector<NotTransRecord>& records, std::size_t limit = 10) {
  CAccessInterface store;
  if (store.OpenDatabase(DATABASE_FILE_NAME) != 1) return false;
  records.clear();
  return store.QueryNotTransData(NotTransFilter{deviceId, "", ""}, records, limit, nullptr) == 1 && !records.empty();
}
