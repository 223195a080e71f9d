#pragma once

#include <string>
#include <vector>

// One line of comma-separated values (RFC 4180, with a plain line end): a field holding a
// comma, a quote, a line break or blanks at either end is quoted, its quotes doubled.
// Pure function: any thread.
std::string CsvLine(const std::vector<std::string>& fields);
