// LanguageCfg.ini: the input is the file's bytes. The language chosen at start must be
// what a plain model of the profile file says ([CONFIG] LANGUAGE, names without regard to
// letter case or blanks, the first match, a leading whole number); setting the language
// as `vantreld settings set` does must then read back and keep every other line.
#include <unistd.h>

#include <climits>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "TempDir.h"
#include "platform/CProfileFile.h"
#include "platform/Notice.h"
#include "resources/CResourceStrings.h"

namespace {

// The working folder is the application folder, holding the file and no language module.
struct Folder {
  Folder() : dir("VANTREL_APP_DIR") {
    FuzzCheck(::chdir(dir.Path().c_str()) == 0, "cannot enter the temporary folder");
    SetNoticeHook([](const std::string&, const std::string&, int) { return IDNO; });
  }
  TempDir dir;
};

Folder& TheFolder() {
  static Folder folder;
  return folder;
}

std::string Trim(const std::string& text) {
  std::size_t from = 0, to = text.size();
  while (from < to && (text[from] == ' ' || text[from] == '\t')) ++from;
  while (to > from && (text[to - 1] == ' ' || text[to - 1] == '\t')) --to;
  return text.substr(from, to - from);
}

bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

std::vector<std::string> Lines(const std::string& content) {
  std::string text = content.rfind("\xEF\xBB\xBF", 0) == 0 ? content.substr(3) : content;
  std::vector<std::string> lines;
  std::size_t from = 0;
  while (from < text.size()) {
    const std::size_t end = text.find('\n', from);
    lines.push_back(text.substr(from, end == std::string::npos ? std::string::npos : end - from));
    from = end == std::string::npos ? text.size() : end + 1;
  }
  return lines;
}

// A line as the model reads it: a section's name, or a key and its value.
struct Line {
  std::optional<std::string> section;
  std::optional<std::pair<std::string, std::string>> key;
};

Line Read(std::string raw) {
  if (!raw.empty() && raw.back() == '\r') raw.pop_back();
  const std::string line = Trim(raw);
  if (line.empty() || line[0] == ';') return {};
  if (line[0] == '[') {
    const std::size_t close = line.find(']');
    if (close == std::string::npos) return {};
    return {Trim(line.substr(1, close - 1)), std::nullopt};
  }
  const std::size_t equals = line.find('=');
  if (equals == std::string::npos) return {};
  return {std::nullopt, std::make_pair(Trim(line.substr(0, equals)), Trim(line.substr(equals + 1)))};
}

int LeadingNumber(const std::string& value) {
  std::size_t at = 0;
  bool negative = false;
  if (at < value.size() && (value[at] == '+' || value[at] == '-')) negative = value[at++] == '-';
  long long number = 0;
  while (at < value.size() && value[at] >= '0' && value[at] <= '9' && number <= INT_MAX)
    number = number * 10 + (value[at++] - '0');
  if (negative) return number > INT_MAX ? INT_MIN : int(-number);
  return number > INT_MAX ? INT_MAX : int(number);
}

std::optional<int> ModelLanguage(const std::string& content) {
  bool inSection = false, seenSection = false;
  for (const std::string& raw : Lines(content)) {
    const Line line = Read(raw);
    if (line.section) {
      // Only the first [CONFIG] counts.
      if (seenSection) return std::nullopt;
      inSection = SameName(*line.section, "CONFIG");
      seenSection = inSection;
      continue;
    }
    if (inSection && line.key && SameName(line.key->first, "LANGUAGE")) {
      std::string value = line.key->second;
      if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0])
        value = value.substr(1, value.size() - 2);
      if (value.empty()) return std::nullopt;
      return LeadingNumber(Trim(value));
    }
  }
  return std::nullopt;
}

std::string FileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  TheFolder();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Folder& folder = TheFolder();
  const std::string path = folder.dir.File(CResourceStrings::kLanguageConfigFile);
  const std::string content(reinterpret_cast<const char*>(data), size);
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    FuzzCheck(out.good(), "cannot write the file");
  }

  constexpr int kDefault = 7;  // no code the file may name by chance more often than another
  const int model = ModelLanguage(content).value_or(kDefault);
  CResourceStrings strings;
  FuzzCheck(strings.SelectLanguage(kDefault) == model, "language read: model says " + std::to_string(model));
  FuzzCheck(strings.Language() == model, "language kept");
  // The module may sit beside the program (a build's bin folder): loaded for English only.
  FuzzCheck(!strings.ModuleLoaded() || model == CResourceStrings::kEnglish,
            "a module was loaded for a language other than English");

  // Setting the language keeps every other line of the file and reads back.
  const CProfileFile file(path);
  FuzzCheck(file.WriteString(CResourceStrings::kLanguageSection, CResourceStrings::kLanguageKey, "2") == 0,
            "the language cannot be written");
  FuzzCheck(file.GetInt(CResourceStrings::kLanguageSection, CResourceStrings::kLanguageKey, kDefault) == 2,
            "the language written does not read back");
  const std::vector<std::string> before = Lines(content);
  const std::vector<std::string> after = Lines(FileText(path));
  // Every other line is kept, in order: the key's line replaced in place, or new lines
  // (the key, or a blank, the section and the key) added.
  if (after.size() == before.size()) {
    std::size_t changed = 0;
    for (std::size_t i = 0; i < before.size(); ++i) changed += before[i] != after[i];
    FuzzCheck(changed <= 1, "lines of the file changed: " + std::to_string(changed));
  } else {
    FuzzCheck(after.size() > before.size() && after.size() - before.size() <= 3, "lines of the file were lost");
    std::size_t kept = 0;
    for (std::size_t i = 0; i < after.size() && kept < before.size(); ++i) kept += after[i] == before[kept];
    FuzzCheck(kept == before.size(), "lines of the file were lost: " + std::to_string(before.size() - kept));
  }
  return 0;
}
