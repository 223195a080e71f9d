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
