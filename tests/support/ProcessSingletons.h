#pragma once

#include "core/CDataCenter.h"
#include "core/CTunnelTable.h"
#include "model/SettingInfo.h"

// The tunnel table, the settings and the data center are one per process and outlive
// every test, so a fixture that uses them calls this on its way in and out: no test sees
// what another left. Empties the tunnel table, restores the default settings and resets
// the data center's service state (NotTransQueue keeps what it holds, as at a service
// stop). The data center's report target stays: a service host sets it when it is made.
// The test's thread, with no service running.
inline void ResetProcessSingletons() {
  CDataCenter::Instance().ResetServiceState();
  CTunnelTable::Instance().Clear();
  ReplaceSettings(SettingInfo{});
}
