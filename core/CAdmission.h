#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "core/RefusalReason.h"
#include "model/NetworkList.h"

// Who may connect: the allowed networks, the cap per address and the throttle of an
// address whose registrations keep failing their bindings; and the lines that tell the
// operator about refusals, a bounded number per address and minute (a scan must not flood
// the journal). Its state is bounded too: per-address records are kept only while they
// matter. Any thread; one mutex, a leaf, guards it.
class CAdmission {
 public:
  using Clock = std::chrono::steady_clock;

  struct Limits {
    unsigned ThrottleRefusals = 10;  // binding refusals within ThrottleWindow ...
    std::chrono::milliseconds ThrottleWindow = std::chrono::seconds(60);
    std::chrono::milliseconds ThrottleFor = std::chrono::minutes(10);  // ... refuse the address this long
    std::chrono::milliseconds LinePeriod = std::chrono::minutes(1);
  };

  explicit CAdmission(Limits limits) : m_limits(limits) {}

  // A connection from `address` (host byte order) was accepted. True: admitted, and
  // counted against the cap until Left; false: refused for `reason`. `allowedNetworks` is
  // the AllowedNetworks text, parsed once per change (a text that does not parse admits
  // every address, as the settings reader's default does); `cap` 0 means none.
  bool Arrive(std::uint32_t address, const std::string& allowedNetworks, std::int32_t cap, RefusalReason& reason);
  // An admitted connection from `address` has closed.
  void Left(std::uint32_t address);

  // A registration from `address` failed its binding: counted towards the throttle.
  // Returns the line that says the throttle starts, or empty.
  std::string BindingRefused(std::uint32_t address);
  // Ends the throttles that are over; returns their lines and sets `next` to the earliest
  // end still to come (unchanged when there is none).
  std::vector<std::string> EndThrottles(Clock::time_point now, Clock::time_point& next);

  // The line to write for a refusal from `address`, or empty while the address has had
  // `perPeriod` lines of this kind (`atAccept` or at registration) within the line period;
  // the count of those not written is told with the next one.
  std::string RefusalLine(std::uint32_t address, bool atAccept, unsigned perPeriod, const std::string& line);

  // "203.0.113.9" for a host-order address.
  static std::string AddressText(std::uint32_t address);

 private:
  struct Lines {
    Clock::time_point PeriodStart;
    unsigned Written = 0;
    std::uint64_t Suppressed = 0;
  };
  struct Failures {
    std::vector<Clock::time_point> Times;  // binding refusals within the window
    Clock::time_point ThrottledUntil{};
  };

  // Under the mutex: forgets per-address records that no longer matter, once there are many.
  void Prune(Clock::time_point now);

  const Limits m_limits;
  std::mutex m_mutex;
  std::string m_networksText;
  std::vector<Ipv4Network> m_networks;
  std::map<std::uint32_t, std::uint32_t> m_open;  // admitted connections per address
  std::map<std::uint32_t, Failures> m_failures;
  std::map<std::pair<std::uint32_t, bool>, Lines> m_lines;  // by address and whether at accept
};
