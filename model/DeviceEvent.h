#pragma once

#include <cstddef>
#include <string>

// One row of the device history (table DeviceEvents). Times are local "YYYY/MM/DD
// HH:MM:SS" texts, as NotTransData's, so that they sort and compare as text.
struct DeviceEvent {
  std::string Time;
  std::string DeviceId;  // empty for a port, the store, or a connection refused before it registered
  std::string Event;     // one of the names below
  std::string Address;   // where the connection really came from ("203.0.113.9:40112"); empty when none
  std::string Detail;    // in English
  // The COM port concerned, when there is one: not a column (Detail names it), but an
  // alarm tells it on its own.
  std::string Port;
};

// The event names, as stored and as alarm programs get them in VANTREL_EVENT.
namespace DeviceEventName {
inline constexpr char kRegistered[] = "registered";
inline constexpr char kOffline[] = "offline";
inline constexpr char kReplaced[] = "replaced";
inline constexpr char kRefused[] = "refused";
inline constexpr char kUnconfigured[] = "unconfigured";
inline constexpr char kPortFailed[] = "port-failed";
inline constexpr char kPortRecovered[] = "port-recovered";
inline constexpr char kStoreLimitReached[] = "store-limit-reached";
inline constexpr char kStoreResumed[] = "store-resumed";
// Alarms only: a device back after its offline alarm.
inline constexpr char kOnline[] = "online";
}  // namespace DeviceEventName

// Selects stored events; an empty member is not part of the condition. Times as stored.
struct DeviceEventFilter {
  std::string DeviceId;
  std::string From;
  std::string To;
};
