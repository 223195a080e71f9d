#include "TimeText.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

bool LeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && LeapYear(year) ? 29 : kDays[month - 1];
}

// Reads one to `maxDigits` digits at `pos` (exactly `maxDigits` when `exact`).
bool ReadNumber(const std::string& text, std::size_t& pos, std::size_t maxDigits, bool exact, int& value) {
  std::size_t digits = 0;
  value = 0;
  while (pos < text.size() && digits < maxDigits && text[pos] >= '0' && text[pos] <= '9') {
    value = value * 10 + (text[pos] - '0');
    ++pos;
    ++digits;
  }
  return exact ? digits == maxDigits : digits > 0;
}

bool Expect(const std::string& text, std::size_t& pos, char separator) {
  if (pos >= text.size() || text[pos] != separator) return false;
  ++pos;
  return true;
}

}  // namespace

std::optional<std::string> StoredTime(const std::string& text, DayEnd end) {
  std::size_t pos = 0;
  int year = 0, month = 0, day = 0;
  if (!ReadNumber(text, pos, 4, true, year) || pos >= text.size()) return std::nullopt;
  const char separator = text[pos];
  if ((separator != '/' && separator != '-') || !Expect(text, pos, separator) ||
      !ReadNumber(text, pos, 2, false, month) || !Expect(text, pos, separator) ||
      !ReadNumber(text, pos, 2, false, day)) {
    return std::nullopt;
  }
  int hour = end == DayEnd::Start ? 0 : 23;
  int minute = end == DayEnd::Start ? 0 : 59;
  int second = minute;
  if (pos < text.size()) {
    if (!Expect(text, pos, ' ') || !ReadNumber(text, pos, 2, false, hour) || !Expect(text, pos, ':') ||
        !ReadNumber(text, pos, 2, false, minute) || !Expect(text, pos, ':') ||
        !ReadNumber(text, pos, 2, false, second) || pos != text.size()) {
      return std::nullopt;
    }
  }
  if (month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month) || hour > 23 || minute > 59 || second > 59) {
    return std::nullopt;
  }
  char stored[32];
  std::snprintf(stored, sizeof stored, "%04d/%02d/%02d %02d:%02d:%02d", year, month, day, hour, minute, second);
  return std::string(stored);
}

std::string IsoTime(const std::string& stored) {
  std::tm local{};
  if (StoredTime(stored, DayEnd::Start) != stored ||
      std::sscanf(stored.c_str(), "%d/%d/%d %d:%d:%d", &local.tm_year, &local.tm_mon, &local.tm_mday, &local.tm_hour,
                  &local.tm_min, &local.tm_sec) != 6) {
    return stored;
  }
  local.tm_year -= 1900;
  local.tm_mon -= 1;
  local.tm_isdst = -1;  // the zone's rules decide
  const std::time_t instant = std::mktime(&local);
  std::tm shown{};
  if (instant == static_cast<std::time_t>(-1) || localtime_r(&instant, &shown) == nullptr) return stored;
  const int minutes = static_cast<int>(std::labs(shown.tm_gmtoff) / 60);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d%c%02d:%02d", shown.tm_year + 1900, shown.tm_mon + 1,
                shown.tm_mday, shown.tm_hour, shown.tm_min, shown.tm_sec, shown.tm_gmtoff < 0 ? '-' : '+',
                minutes / 60, minutes % 60);
  return text;
}
