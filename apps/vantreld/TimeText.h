#pragma once

#include <optional>
#include <string>

// Which end of a day a date without a time stands for.
enum class DayEnd { Start, End };

// A receive time as stored: "YYYY/MM/DD HH:MM:SS". Accepts that form, the same with '-'
// between the date's parts, and a date alone (its first or last second, by `end`);
// month, day and time parts may have one digit. Nothing for text that is not a real
// date and time. Main thread (pure function).
std::optional<std::string> StoredTime(const std::string& text, DayEnd end);

// A stored receive time (local time, "YYYY/MM/DD HH:MM:SS") in ISO 8601 with this
// computer's offset from UTC at that time: "2015-03-09T14:05:00+08:00". A time that does
// not exist locally (skipped by a clock change) becomes the instant the system makes of
// it. Text that is not a stored time comes back unchanged. Main thread.
std::string IsoTime(const std::string& stored);
