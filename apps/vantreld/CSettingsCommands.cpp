#include "CSettingsCommands.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <cctype>
#include <iostream>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "CJsonObject.h"
#include "storage/CStoreTransaction.h"
#include "CTextTable.h"
#include "CommandStatus.h"
#include "ServiceLanguage.h"
#include "model/SettingFields.h"
#include "model/TunnelFields.h"
#include "platform/AppPaths.h"
#include "platform/CProfileFile.h"
#include "resources/CResourceStrings.h"

namespace {

// "1" or "0" as the store writes switches; nothing for an unknown word.
std::optional<std::string> SwitchSetting(const std::string& text) {
  for (const char* on : {"on", "yes", "true", "1"}) {
    if (EqualIgnoringCase(text, on)) return "1";
  }
  for (const char* off : {"off", "no", "false", "0"}) {
    if (EqualIgnoringCase(text, off)) return "0";
  }
  return std::nullopt;
}

// A number of bytes, digits with an optional K, M or G (powers of 1024), up to 1 PiB, as
// decimal text; nothing otherwise.
std::optional<std::string> ByteSizeSetting(const std::string& text) {
  std::size_t digits = 0;
  while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits]))) ++digits;
  if (digits == 0 || digits > 16 || text.size() > digits + 1) return std::nullopt;
  std::uint64_t unit = 1;
  if (text.size() > digits) {
    const std::string suffixes = "KMG";
    const std::size_t at = suffixes.find(static_cast<char>(std::toupper(static_cast<unsigned char>(text[digits]))));
    if (at == std::string::npos) return std::nullopt;
    unit = std::uint64_t{1} << (10 * (at + 1));
  }
  const std::uint64_t value = std::stoull(text.substr(0, digits));
  constexpr std::uint64_t kMax = std::uint64_t{1} << 50;
  if (value > kMax / unit) return std::nullopt;
  return std::to_string(value * unit);
}

// "1073741824 bytes (1 GiB)": the exact figure and a readable one.
std::string ByteSizeText(std::int64_t bytes) {
  const char* units[] = {"KiB", "MiB", "GiB", "TiB"};
  std::string readable;
  for (int i = 3; i >= 0 && readable.empty(); --i) {
    const std::int64_t unit = std::int64_t{1} << (10 * (i + 1));
    if (bytes >= unit) readable = " (" + std::to_string(bytes / unit) + (bytes % unit == 0 ? " " : "+ ") + units[i] + ")";
  }
  return std::to_string(bytes) + " bytes" + readable;
}

const char* YesNo(bool value) { return value ? "on" : "off"; }

}  // namespace

void CSettingsCommands::Register(CLI::App& app, int& exitCode) {
  auto self = std::make_shared<CSettingsCommands>();
  CLI::App* settings = app.add_subcommand("settings", "Show or change the settings");
  settings->require_subcommand(1);
  CLI::App* show = settings->add_subcommand("show", "Print every setting");
  show->add_flag("--json", self->m_json,
                 "Print one JSON object: localIp, localPort, bootAutoStart, autoStart, filterHeartbeat, "
                 "delayComRead (ms), escape, notTransMaxBytes, allowedNetworks (empty: every address), "
                 "refuseUnconfigured, maxConnectionsPerAddress (0: no cap), tlsPort (0: off), tlsCertificate, tlsKey, "
                 "tlsClientCa, tlsOnly, metricsAddress (empty: off), eventsKeepDays, eventCommand (empty: off), "
                 "offlineAlarmSeconds, resendStored, language (zh or en) and languageFile (empty: the locale)");
  show->callback([self, &exitCode] { exitCode = self->Show(); });

  CLI::App* set = settings->add_subcommand(
      "set",
      "Change the settings given; the others keep their values. A running service takes them at its next "
      "start or reload.");
  self->m_setCommand = set;
  set->add_option("--ip", self->m_ip, "Local IP address to listen on (IPv4; \"\" for this computer's first address)")
      ->type_name("A.B.C.D");
  set->add_option("--port", self->m_port, "TCP port to listen on, 1 to 65535")->type_name("1-65535");
  set->add_option("--delay", self->m_delay, "No-data wait of the COM port reading in ms, 0 to 10000")
      ->type_name("0-10000");
  set->add_option("--boot-auto-start", self->m_bootAutoStart,
                  "on/off: start the desktop program when the user logs on (stored here; the desktop "
                  "program's settings dialog writes the log-on entry)")
      ->type_name("on|off");
  set->add_option("--auto-start", self->m_autoStart, "on/off: start the service when the program starts")
      ->type_name("on|off");
  set->add_option("--filter-heartbeat", self->m_filterHeartbeat, "on/off: drop heartbeats instead of forwarding them")
      ->type_name("on|off");
  set->add_option("--escape", self->m_escape, "on/off: PROT escaping of the device data")->type_name("on|off");
  set->add_option("--store-limit", self->m_storeLimit,
                  "Bytes of stored not-forwarded data beyond which new records are counted, not stored (K, M or G "
                  "for KiB, MiB, GiB; 0 stores none). A running service takes it at once")
      ->type_name("BYTES");
  set->add_option("--allow", self->m_allow,
                  "The networks devices may connect from, comma-separated: 10.0.0.0/8,203.0.113.7 (a bare "
                  "address is one host); \"\" admits every address. Connections from elsewhere are closed at once")
      ->type_name("LIST");
  set->add_option("--refuse-unconfigured", self->m_refuseUnconfigured,
                  "on/off: close the connection of a device that registers an ID without a tunnel (off: it is "
                  "listed and its data dropped)")
      ->type_name("on|off");
  set->add_option("--max-per-address", self->m_maxPerAddress,
                  "At most this many connections from one address, 0 to 65535 (0: no cap; many units behind one "
                  "carrier NAT share an address)")
      ->type_name("0-65535");
  set->add_option("--tls-port", self->m_tlsPort,
                  "TCP port of the encrypted (TLS) listener beside the plain one, 0 to 65535 (0: none)")
      ->type_name("0-65535");
  set->add_option("--tls-cert", self->m_tlsCertificate,
                  "PEM file with the server's certificate (and its chain); relative to the application directory "
                  "unless absolute")
      ->type_name("FILE");
  set->add_option("--tls-key", self->m_tlsKey, "PEM file with the server certificate's private key")
      ->type_name("FILE");
  set->add_option("--tls-client-ca", self->m_tlsClientCa,
                  "PEM bundle of the CA that signs device certificates: every TLS device must show one, and its "
                  "common name must be the device ID it registers (\"\": no client certificates)")
      ->type_name("FILE");
  set->add_option("--tls-only", self->m_tlsOnly, "on/off: open no plain listener on the local port")
      ->type_name("on|off");
  set->add_option("--metrics", self->m_metrics,
                  "Address and port answering GET /metrics for Prometheus, such as 127.0.0.1:9464 (\"\": off)")
      ->type_name("ADDR:PORT");
  set->add_option("--events-keep-days", self->m_eventsKeepDays, "Days the device history is kept, 1 to 36500")
      ->type_name("DAYS");
  set->add_option("--event-command", self->m_eventCommand,
                  "Program run (without a shell) for each alarm, with VANTREL_EVENT and the others in its "
                  "environment (\"\": off)")
      ->type_name("PROGRAM");
  set->add_option("--offline-alarm", self->m_offlineAlarm,
                  "Seconds a device may stay offline before the alarm program is run, 1 to 604800")
      ->type_name("SECONDS");
  set->add_option("--resend-stored", self->m_resendStored,
                  "on/off: send stored not-forwarded records to their port again once it is back")
      ->type_name("on|off");
  set->add_option("--language", self->m_language,
                  "zh or en: the language of the status lines, written to LanguageCfg.ini in the application "
                  "directory (without that file vantreld follows the locale)")
      ->type_name("zh|en");
  set->callback([self, &exitCode] { exitCode = self->Set(); });
}

int CSettingsCommands::Show() {
  CManagementStore store;
  if (!store.OpenForReading()) return kExitFailure;
  SettingInfo settings;
  std::vector<std::string> problems;
  store.Store().LoadSettings(settings, &problems);
  for (const std::string& problem : problems) std::cerr << "vantreld: warning: " << problem << '\n';
  const LanguageInEffect language = CurrentLanguage();
  if (m_json) {
    std::cout << CJsonObject()
                     .Add("localIp", settings.LocalIp)
                     .Add("localPort", std::int64_t{settings.LocalPort})
                     .Add("bootAutoStart", settings.BootAutoStart)
                     .Add("autoStart", settings.AutoStartSimulation)
                     .Add("filterHeartbeat", settings.FilterHearbeat)
                     .Add("delayComRead", std::int64_t{settings.DelayComRead})
                     .Add("escape", settings.Escape)
                     .Add("notTransMaxBytes", static_cast<std::int64_t>(settings.NotTransMaxBytes))
                     .Add("allowedNetworks", settings.AllowedNetworks)
                     .Add("refuseUnconfigured", settings.RefuseUnconfigured)
                     .Add("maxConnectionsPerAddress", std::int64_t{settings.MaxConnectionsPerAddress})
                     .Add("tlsPort", std::int64_t{settings.TlsPort})
                     .Add("tlsCertificate", settings.TlsCertificate)
                     .Add("tlsKey", settings.TlsKey)
                     .Add("tlsClientCa", settings.TlsClientCa)
                     .Add("tlsOnly", settings.TlsOnly)
                     .Add("metricsAddress", settings.MetricsAddress)
                     .Add("eventsKeepDays", std::int64_t{settings.EventsKeepDays})
                     .Add("eventCommand", settings.EventCommand)
                     .Add("offlineAlarmSeconds", std::int64_t{settings.OfflineAlarmSeconds})
                     .Add("resendStored", settings.ResendStored)
                     .Add("language", LanguageName(language.code))
                     .Add("languageFile", language.source)
                     .Text()
              << "\n";
    return kExitSuccess;
  }
  const std::string ip = settings.LocalIp.empty() ? "(empty: this computer's first IPv4 address)" : settings.LocalIp;
  const std::string port = settings.LocalPort == 0 ? "0 (5001 is used)" : std::to_string(settings.LocalPort);
  CTextTable table({"Setting", "Option", "Value"});
  table.AddRow({"LocalIp", "--ip", ip});
  table.AddRow({"LocalPort", "--port", port});
  table.AddRow({"BootAutoStart", "--boot-auto-start", YesNo(settings.BootAutoStart)});
  table.AddRow({"AutoStartSimulation", "--auto-start", YesNo(settings.AutoStartSimulation)});
  table.AddRow({"FilterHearbeat", "--filter-heartbeat", YesNo(settings.FilterHearbeat)});
  table.AddRow({"DelayComRead", "--delay", std::to_string(settings.DelayComRead) + " ms"});
  table.AddRow({"Escape", "--escape", YesNo(settings.Escape)});
  table.AddRow({"NotTransMaxBytes", "--store-limit", ByteSizeText(settings.NotTransMaxBytes)});
  table.AddRow({"AllowedNetworks", "--allow",
                settings.AllowedNetworks.empty() ? "(empty: every address)" : settings.AllowedNetworks});
  table.AddRow({"RefuseUnconfigured", "--refuse-unconfigured", YesNo(settings.RefuseUnconfigured)});
  table.AddRow({"MaxConnectionsPerAddress", "--max-per-address",
                settings.MaxConnectionsPerAddress == 0 ? "0 (no cap)"
                                                       : std::to_string(settings.MaxConnectionsPerAddress)});
  const auto orOff = [](const std::string& value) { return value.empty() ? std::string("(empty: off)") : value; };
  table.AddRow({"TlsPort", "--tls-port", settings.TlsPort == 0 ? "0 (no TLS listener)" : std::to_string(settings.TlsPort)});
  table.AddRow({"TlsCertificate", "--tls-cert", orOff(settings.TlsCertificate)});
  table.AddRow({"TlsKey", "--tls-key", orOff(settings.TlsKey)});
  table.AddRow({"TlsClientCa", "--tls-client-ca", orOff(settings.TlsClientCa)});
  table.AddRow({"TlsOnly", "--tls-only", YesNo(settings.TlsOnly)});
  table.AddRow({"MetricsAddress", "--metrics", orOff(settings.MetricsAddress)});
  table.AddRow({"EventsKeepDays", "--events-keep-days", std::to_string(settings.EventsKeepDays) + " days"});
  table.AddRow({"EventCommand", "--event-command", orOff(settings.EventCommand)});
  table.AddRow({"OfflineAlarmSeconds", "--offline-alarm", std::to_string(settings.OfflineAlarmSeconds) + " s"});
  table.AddRow({"ResendStored", "--resend-stored", YesNo(settings.ResendStored)});
  table.AddRow({"Language", "--language",
                LanguageName(language.code) +
                    (language.source.empty() ? " (from the locale)" : " (from " + language.source + ")")});
  table.Print(std::cout);
  return kExitSuccess;
}

int CSettingsCommands::Set() {
  std::vector<Given> given;
  auto check = [&](const char* option, const char* key, const std::string& text, std::optional<std::string> value,
                   const char* rule) {
    if (m_setCommand->count(option) > 0) given.push_back({option, key, text, std::move(value), rule});
  };
  check("--ip", "LocalIp", m_ip, LocalIpField(m_ip), "a dotted IPv4 address such as 192.168.1.10, or \"\"");
  check("--port", "LocalPort", m_port, NumberField(m_port, kLowestLocalPort, kHighestLocalPort), "a whole number from 1 to 65535");
  check("--delay", "DelayComRead", m_delay, NumberField(m_delay, kLowestDelayComRead, kHighestDelayComRead), "a whole number from 0 to 10000");
  check("--boot-auto-start", "BootAutoStart", m_bootAutoStart, SwitchSetting(m_bootAutoStart), "on or off");
  check("--auto-start", "AutoStartSimulation", m_autoStart, SwitchSetting(m_autoStart), "on or off");
  check("--filter-heartbeat", "FilterHearbeat", m_filterHeartbeat, SwitchSetting(m_filterHeartbeat), "on or off");
  check("--escape", "Escape", m_escape, SwitchSetting(m_escape), "on or off");
  check("--store-limit", "NotTransMaxBytes", m_storeLimit, ByteSizeSetting(m_storeLimit),
        "a number of bytes up to 1 PiB, digits with an optional K, M or G");
  std::string badNetwork;
  const std::optional<std::string> allowed = NetworksField(m_allow, &badNetwork);
  if (m_setCommand->count("--allow") > 0 && !allowed) return BadInput("--allow: " + NetworksProblem(badNetwork));
  check("--allow", "AllowedNetworks", m_allow, allowed, "a list of IPv4 networks");
  check("--refuse-unconfigured", "RefuseUnconfigured", m_refuseUnconfigured, SwitchSetting(m_refuseUnconfigured),
        "on or off");
  check("--max-per-address", "MaxConnectionsPerAddress", m_maxPerAddress,
        NumberField(m_maxPerAddress, 0, kHighestMaxConnectionsPerAddress), "a whole number from 0 to 65535");
  check("--tls-port", "TlsPort", m_tlsPort, NumberField(m_tlsPort, 0, kHighestLocalPort), "a whole number from 0 to 65535");
  constexpr char kFileRule[] = "a file name without control characters, or \"\"";
  check("--tls-cert", "TlsCertificate", m_tlsCertificate, PathField(m_tlsCertificate), kFileRule);
  check("--tls-key", "TlsKey", m_tlsKey, PathField(m_tlsKey), kFileRule);
  check("--tls-client-ca", "TlsClientCa", m_tlsClientCa, PathField(m_tlsClientCa), kFileRule);
  check("--tls-only", "TlsOnly", m_tlsOnly, SwitchSetting(m_tlsOnly), "on or off");
  check("--metrics", "MetricsAddress", m_metrics, ListenAddressField(m_metrics),
        "an IPv4 address and a port such as 127.0.0.1:9464, or \"\"");
  check("--events-keep-days", "EventsKeepDays", m_eventsKeepDays,
        NumberField(m_eventsKeepDays, kLowestEventsKeepDays, kHighestEventsKeepDays), "a whole number from 1 to 36500");
  check("--event-command", "EventCommand", m_eventCommand, PathField(m_eventCommand), kFileRule);
  check("--offline-alarm", "OfflineAlarmSeconds", m_offlineAlarm,
        NumberField(m_offlineAlarm, kLowestOfflineAlarmSeconds, kHighestOfflineAlarmSeconds),
        "a whole number from 1 to 604800");
  check("--resend-stored", "ResendStored", m_resendStored, SwitchSetting(m_resendStored), "on or off");
  const bool languageGiven = m_setCommand->count("--language") > 0;
  if (given.empty() && !languageGiven) {
    std::string options;
    for (const CLI::Option* option : m_setCommand->get_options()) {
      if (option->get_name() == "--help") continue;
      options += (options.empty() ? "" : ", ") + option->get_name();
    }
    return BadInput("nothing to set: give at least one of " + options);
  }
  for (const Given& setting : given) {
    if (!setting.value) {
      return BadInput(std::string(setting.option) + " must be " + setting.rule + " (got \"" + setting.text + "\")");
    }
  }
  int languageCode = 0;
  if (languageGiven) {
    if (EqualIgnoringCase(m_language, "zh")) languageCode = CResourceStrings::kChinese;
    if (EqualIgnoringCase(m_language, "en")) languageCode = CResourceStrings::kEnglish;
    if (languageCode == 0) return BadInput("--language must be zh or en (got \"" + m_language + "\")");
  }
  if (!given.empty()) {
    if (const int code = SaveSettings(given); code != kExitSuccess) return code;
  }
  if (languageGiven) {
    const std::string file = AppFilePath(CResourceStrings::kLanguageConfigFile);
    if (const int error = CProfileFile(file).WriteString(CResourceStrings::kLanguageSection,
                                                         CResourceStrings::kLanguageKey, std::to_string(languageCode));
        error != 0) {
      return Failure("cannot write " + file + ": " + std::strerror(error));
    }
    const std::string read = CResourceStrings::LanguageConfigPath();
    if (std::filesystem::path(read).lexically_normal() != std::filesystem::path(file).lexically_normal())
      std::cerr << "vantreld: note: " << read << " is read first and still decides the language\n";
  }
  std::cout << "Settings saved.\n";
  if (!given.empty()) WarnOfTlsProblem();
  return Show();
}

void CSettingsCommands::WarnOfTlsProblem() {
  CManagementStore store;
  if (!store.OpenForReading()) return;
  SettingInfo settings;
  store.Store().LoadSettings(settings);
  if (const std::string problem = TlsSettingsProblem(settings); !problem.empty())
    std::cerr << "vantreld: warning: " << problem << "; the service will not start until this is put right\n";
}

int CSettingsCommands::SaveSettings(const std::vector<Given>& given) {
  CManagementStore store;
  if (!store.Open()) return kExitFailure;
  // Every key has its row afterwards, so each update below changes exactly one row.
  store.Store().InitSettingTable();
  CStoreTransaction transaction(store.Store());
  if (!transaction.Begun()) return store.Failed("cannot start writing");
  for (const Given& setting : given) {
    if (store.Store().SetSetting(setting.key, *setting.value) != 1) {
      return store.Failed(std::string("cannot save ") + setting.key);
    }
  }
  if (!transaction.Commit()) return store.Failed("cannot save the settings");
  return kExitSuccess;
}
