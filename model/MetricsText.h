#pragma once

#include <string>

#include "model/ServiceSnapshot.h"
#include "platform/ProcessFigures.h"

// The content type of MetricsText's page.
inline constexpr const char* kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

// The metrics page of a running instance in the Prometheus text format (0.0.4): a HELP and
// a TYPE line for every family, then its samples. The names are those the README lists;
// vantrel_devices_configured, vantrel_devices_connected, vantrel_devices_matched_online,
// vantrel_bytes_total and vantrel_records_stored_total are relied on by other tools and
// never change. A figure that is not known is left out. Pure function: any thread.
std::string MetricsText(const ServiceSnapshot& snapshot, const ProcessFigures& process);
