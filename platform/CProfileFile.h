#pragma once

#include <string>

// A private profile (INI) file: "[section]" lines followed by "key=value" lines.
// Section and key names match ignoring ASCII letter case and surrounding blanks; the
// first match wins. Any thread; two writers of the same file must not run at once.
class CProfileFile {
 public:
  explicit CProfileFile(std::string path);

  const std::string& Path() const { return m_path; }

  // The key's value read as a decimal integer: blanks, an optional sign, then the
  // leading digits ("12abc" gives 12, "abc" gives 0; out-of-range values saturate).
  // Returns defaultValue when the file, the section or the key is missing or the value
  // is empty. A file that exists but cannot be read counts as missing, with a debug line.
  int GetInt(const std::string& section, const std::string& key, int defaultValue) const;

  // Sets the key to `value`, creating the file, the section and the key as needed and
  // keeping every other line as it was. The file is replaced in one rename, so a failed
  // write leaves the old file whole. Returns 0, or the errno of the failure: EINVAL for a
  // section, key or value that the file format cannot hold (line breaks, '[' or ']' in
  // a section, '=' in a key, empty names, blanks around a name).
  int WriteString(const std::string& section, const std::string& key, const std::string& value) const;

 private:
  std::string m_path;
};
