#pragma once

#include <CLI/CLI.hpp>
#include <optional>
#include <string>
#include <vector>

#include "CManagementStore.h"

// "vantreld settings show|set": the settings in Info.db, with the settings dialog's
// ranges (port 1 to 65535, no-data wait 0 to 10000 ms, an IPv4 address, four switches),
// the size limit of the stored not-forwarded data and who may be a device (the allowed
// networks, refusing unconfigured devices, the cap of connections per address), the
// encrypted listener, the metrics address, device history and alarms. show
// reads the file only and warns on stderr about stored values it cannot use.
// set writes only the settings given, all in one transaction.
class CSettingsCommands {
 public:
  // Adds the "settings" subcommand to `app`; the callbacks set exitCode. Main thread.
  static void Register(CLI::App& app, int& exitCode);

 private:
  // A setting given on the command line, with its checked value (none when unacceptable).
  struct Given {
    const char* option;
    const char* key;
    const std::string& text;
    std::optional<std::string> value;
    const char* rule;
  };

  int Show();
  int Set();
  // Writes the checked settings in one transaction; the exit code.
  int SaveSettings(const std::vector<Given>& given);
  // A warning on stderr when the stored TLS settings, taken together, will not let the
  // service start (settings can be set one command at a time, so this does not refuse).
  static void WarnOfTlsProblem();

  std::string m_ip, m_port, m_delay, m_bootAutoStart, m_autoStart, m_filterHeartbeat, m_escape, m_storeLimit, m_language,
      m_allow, m_refuseUnconfigured, m_maxPerAddress, m_tlsPort, m_tlsCertificate, m_tlsKey, m_tlsClientCa, m_tlsOnly,
      m_metrics, m_eventsKeepDays, m_eventCommand, m_offlineAlarm, m_resendStored;
  bool m_json = false;
  CLI::App* m_setCommand = nullptr;
};
