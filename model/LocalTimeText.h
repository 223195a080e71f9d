#pragma once

#include <string>

// The current local time as "YYYY/MM/DD HH:MM:SS" (19 characters), the form stored with
// not-forwarded data and shown by the monitor. Any thread.
std::string LocalTimeText();
