#pragma once

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

// A fresh directory under the system's temporary directory, made the application
// directory (VANTREL_APP_DIR) for as long as the object lives; removed with everything
// in it at the end. Create it before anything asks for the application directory.
class TempAppDirectory {
 public:
  TempAppDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vantrel-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot make a temporary directory");
    m_path = pattern;
    setenv("VANTREL_APP_DIR", m_path.c_str(), 1);
  }
  ~TempAppDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
  }
  TempAppDirectory(const TempAppDirectory&) = delete;
  TempAppDirectory& operator=(const TempAppDirectory&) = delete;

  const std::string& Path() const { return m_path; }

 private:
  std::string m_path;
};
