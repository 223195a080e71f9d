#include "core/RegistrationFields.h"

#include <cstdio>
#include <cstring>

std::string RegistrationPhone(const DataItem& item) {
  const auto* start = reinterpret_cast<const char*>(item.Data + 4);
  return std::string(start, strnlen(start, 11));
}

std::string RegistrationAddress(const DataItem& item) {
  char text[20];
  std::snprintf(text, sizeof text, "%d.%d.%d.%d", item.Data[16], item.Data[17], item.Data[18], item.Data[19]);
  return text;
}
