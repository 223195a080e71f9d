#include "platform/CProfileFile.h"

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <optional>
#include <utility>
#include <vector>

#include "platform/DebugSink.h"
#include "platform/ReplaceFile.h"

namespace {

constexpr const char* kBlanks = " \t";
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

std::string_view Trim(std::string_view text) {
  const auto first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

// Blank or only a line end's '\r'.
bool IsBlank(std::string_view raw) {
  if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
  return Trim(raw).empty();
}

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// The file's lines without their '\n' (a '\r' before it stays part of the line).
struct ProfileText {
  std::string bom;
  std::vector<std::string> lines;
};

// One line as the format sees it.
struct LineView {
  enum Kind { kOther, kSection, kKey } kind = kOther;
  std::string_view name;
  std::string_view value;
};

LineView Classify(std::string_view raw) {
  if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
  const std::string_view line = Trim(raw);
  if (line.empty() || line.front() == ';') return {};
  if (line.front() == '[') {
    const auto close = line.find(']');
    if (close == std::string_view::npos) return {};
    return {LineView::kSection, Trim(line.substr(1, close - 1)), {}};
  }
  const auto equals = line.find('=');
  if (equals == std::string_view::npos) return {};
  return {LineView::kKey, Trim(line.substr(0, equals)), Trim(line.substr(equals + 1))};
}

// Reads the whole file; ENOENT gives an empty text. Returns 0 or the errno.
int ReadProfile(const std::string& path, ProfileText& text) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? 0 : errno;
  std::string content;
  char buffer[4096];
  int error = 0;
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got > 0) {
      content.append(buffer, static_cast<std::size_t>(got));
    } else if (got == 0) {
      break;
    } else if (errno != EINTR) {
      error = errno;
      break;
    }
  }
  ::close(fd);
  if (error != 0) return error;

  std::string_view rest = content;
  if (rest.starts_with(kUtf8Bom)) {
    text.bom = kUtf8Bom;
    rest.remove_prefix(kUtf8Bom.size());
  }
  while (!rest.empty()) {
    const auto end = rest.find('\n');
    text.lines.emplace_back(rest.substr(0, end));
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
  }
  return 0;
}

// Index of the first header line of `section`, if any.
std::optional<std::size_t> FindSection(const std::vector<std::string>& lines, std::string_view section) {
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const LineView view = Classify(lines[i]);
    if (view.kind == LineView::kSection && SameName(view.name, section)) return i;
  }
  return std::nullopt;
}

int ParseLeadingInt(std::string_view value) {
  std::size_t at = 0;
  bool negative = false;
  if (at < value.size() && (value[at] == '+' || value[at] == '-')) negative = value[at++] == '-';
  long long number = 0;
  for (; at < value.size() && value[at] >= '0' && value[at] <= '9'; ++at) {
    number = number * 10 + (value[at] - '0');
    if (number > static_cast<long long>(INT_MAX) + 1) number = static_cast<long long>(INT_MAX) + 1;
  }
  if (negative) return static_cast<int>(-number);
  return number > INT_MAX ? INT_MAX : static_cast<int>(number);
}

std::string_view Unquote(std::string_view value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
    return value.substr(1, value.size() - 2);
  }
  return value;
}

bool ValidName(std::string_view name, std::string_view forbidden) {
  return !name.empty() && Trim(name) == name && name.find_first_of(forbidden) == std::string_view::npos;
}

}  // namespace

CProfileFile::CProfileFile(std::string path) : m_path(std::move(path)) {}

int CProfileFile::GetInt(const std::string& section, const std::string& key, int defaultValue) const {
  ProfileText text;
  if (const int error = ReadProfile(m_path, text); error != 0) {
    DebugOutput("[ERROR]CProfileFile::GetInt() cannot read " + m_path + ": " + std::strerror(error) + "\n");
    return defaultValue;
  }
  const auto header = FindSection(text.lines, section);
  if (!header) return defaultValue;
  for (std::size_t i = *header + 1; i < text.lines.size(); ++i) {
    const LineView view = Classify(text.lines[i]);
    if (view.kind == LineView::kSection) break;
    if (view.kind == LineView::kKey && SameName(view.name, key)) {
      const std::string_view value = Unquote(view.value);
      return value.empty() ? defaultValue : ParseLeadingInt(Trim(value));
    }
  }
  return defaultValue;
}

int CProfileFile::WriteString(const std::string& section, const std::string& key, const std::string& value) const {
  if (!ValidName(section, "[]\r\n") || !ValidName(key, "=\r\n") || key.front() == ';' || key.front() == '[' ||
      value.find_first_of("\r\n") != std::string::npos) {
    return EINVAL;
  }
  // Write through a link to its target rather than replacing the link with a file.
  std::error_code ignored;
  std::string path = std::filesystem::weakly_canonical(m_path, ignored).string();
  if (path.empty()) path = m_path;

  ProfileText text;
  if (const int error = ReadProfile(path, text); error != 0) return error;
  // New lines follow the file's own line ends.
  const bool crlf = !text.lines.empty() && text.lines.front().ends_with('\r');
  const auto withEnd = [crlf](std::string line) { return crlf ? line + '\r' : line; };
  std::string entry = withEnd(key + "=" + value);

  auto& lines = text.lines;
  if (const auto header = FindSection(lines, section)) {
    std::size_t insertAt = *header + 1;
    bool replaced = false;
    for (std::size_t i = *header + 1; i < lines.size(); ++i) {
      const LineView view = Classify(lines[i]);
      if (view.kind == LineView::kSection) break;
      if (view.kind == LineView::kKey && SameName(view.name, key)) {
        lines[i] = std::move(entry);
        replaced = true;
        break;
      }
      if (!IsBlank(lines[i])) insertAt = i + 1;
    }
    if (!replaced) lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(insertAt), std::move(entry));
  } else {
    if (!lines.empty() && !IsBlank(lines.back())) lines.push_back(withEnd(""));
    lines.push_back(withEnd("[" + section + "]"));
    lines.push_back(std::move(entry));
  }

  std::string content = text.bom;
  for (const std::string& line : lines) content += line + '\n';
  return ReplaceFile(path, content);
}
