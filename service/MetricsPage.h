#pragma once

#include <memory>
#include <string>

#include "net/CScrapeServer.h"

class CServiceStatus;

// The path of the metrics page.
inline constexpr const char* kMetricsPath = "/metrics";
// Every reason StartMetricsPage gives begins with this (the setting's name).
inline constexpr const char* kMetricsFailureMark = "MetricsAddress ";

// Starts the metrics page of a running service on `address` (MetricsAddress: "A.B.C.D:PORT";
// empty: off). Each scrape is answered from a snapshot of `status`, taken on the
// user-interface thread, and the process's own figures. Null when off; null with the
// reason in `failure` when the address cannot be used. `status` must outlive the server.
// The service thread.
std::unique_ptr<CScrapeServer> StartMetricsPage(const std::string& address, const CServiceStatus& status,
                                                std::string& failure);
