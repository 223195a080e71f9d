#pragma once

#include <string>

// Selects stored not-forwarded data; an empty member is not part of the condition.
// Times are "%04d/%02d/%02d %02d:%02d:%02d" texts, compared as text.
struct NotTransFilter {
  std::string DeviceId;
  std::string StartTime;
  std::string EndTime;
};
