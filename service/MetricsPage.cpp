#include "service/MetricsPage.h"

#include <charconv>
#include <optional>

#include "model/MetricsText.h"
#include "model/SettingFields.h"
#include "platform/ProcessFigures.h"
#include "service/CServiceStatus.h"

namespace {

// How long a scrape waits for the user-interface thread's snapshot: well inside the HTTP
// server's request timeout, so a busy host gets a 503, not a dropped connection.
constexpr unsigned kSnapshotWaitMs = 3000;

}  // namespace

std::unique_ptr<CScrapeServer> StartMetricsPage(const std::string& address, const CServiceStatus& status,
                                                std::string& failure) {
  failure.clear();
  if (address.empty()) return nullptr;
  // The stored setting is read with this rule; a value set otherwise is checked here.
  const std::optional<std::string> canonical = ListenAddressField(address);
  if (!canonical || canonical->empty()) {
    failure = kMetricsFailureMark + ("\"" + address + "\" is not an IPv4 address and a port (like 127.0.0.1:9464)");
    return nullptr;
  }
  const std::size_t colon = canonical->rfind(':');
  std::uint16_t port = 0;
  std::from_chars(canonical->data() + colon + 1, canonical->data() + canonical->size(), port);
  std::string why;
  std::unique_ptr<CScrapeServer> server = CScrapeServer::Start(
      canonical->substr(0, colon), port, kMetricsPath, kMetricsContentType,
      [&status]() -> std::optional<std::string> {
        const std::optional<ServiceSnapshot> snapshot = status.SnapshotFromAnyThread(kSnapshotWaitMs);
        if (!snapshot) return std::nullopt;
        return MetricsText(*snapshot, ReadProcessFigures());
      },
      why);
  if (!server) failure = kMetricsFailureMark + address + ": " + why;
  return server;
}
