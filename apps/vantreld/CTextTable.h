#pragma once

#include <ostream>
#include <string>
#include <vector>

// A table printed in aligned columns under a header line. Widths count bytes, so
// columns after one holding non-ASCII text may shift: keep free text last. Main thread.
class CTextTable {
 public:
  explicit CTextTable(std::vector<std::string> headers);

  // A row with as many cells as there are headers (missing cells print empty).
  void AddRow(std::vector<std::string> cells);
  void Print(std::ostream& out) const;

 private:
  std::vector<std::vector<std::string>> m_rows;  // the headers first
};
