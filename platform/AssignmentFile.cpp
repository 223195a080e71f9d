#include "platform/AssignmentFile.h"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace {

std::string Trimmed(const std::string& text) {
  std::size_t first = 0;
  std::size_t last = text.size();
  while (first < last && std::isspace(static_cast<unsigned char>(text[first]))) ++first;
  while (last > first && std::isspace(static_cast<unsigned char>(text[last - 1]))) --last;
  return text.substr(first, last - first);
}

bool ValidName(const std::string& name) {
  if (name.empty() || std::isdigit(static_cast<unsigned char>(name[0]))) return false;
  for (const char c : name)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') return false;
  return true;
}

// The value as written: unquoted, or inside one pair of matching quotes. False for an
// unmatched quote or text after the closing one.
bool Unquoted(const std::string& written, std::string& value) {
  if (written.empty() || (written[0] != '"' && written[0] != '\'')) {
    value = written;
    return written.find_first_of("\"'") == std::string::npos;
  }
  const std::size_t close = written.find(written[0], 1);
  if (close != written.size() - 1) return false;
  value = written.substr(1, close - 1);
  return true;
}

}  // namespace

std::map<std::string, std::string> ReadAssignmentFile(const std::string& path, std::string& problems) {
  std::map<std::string, std::string> values;
  std::error_code missing;
  if (!std::filesystem::exists(path, missing) && !missing) return values;
  std::ifstream in(path);
  if (!in) {
    problems += path + ": " + std::strerror(errno) + "\n";
    return values;
  }
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    std::string text = Trimmed(line);
    if (text.empty() || text[0] == '#') continue;
    if (text.rfind("export ", 0) == 0) text = Trimmed(text.substr(7));
    const std::size_t equals = text.find('=');
    const std::string name = equals == std::string::npos ? text : text.substr(0, equals);
    std::string value;
    if (equals == std::string::npos || !ValidName(name)) {
      problems += path + ":" + std::to_string(number) + ": not of the form NAME=value\n";
    } else if (!Unquoted(text.substr(equals + 1), value)) {
      problems += path + ":" + std::to_string(number) + ": a quote is not closed, or text follows it\n";
    } else {
      values[name] = value;
    }
  }
  return values;
}
