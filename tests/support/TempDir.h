#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

// A fresh directory under the system's temporary directory, removed with everything in
// it. Given a variable (VANTREL_APP_DIR, VANTREL_PORT_DIR), it names the directory there
// while the object lives. Owner's thread.
class TempDir {
 public:
  explicit TempDir(const char* variable = nullptr) : m_variable(variable) {
    std::string pattern = (std::filesystem::temp_directory_path() / "vantrel-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot make a temporary directory");
    m_path = pattern;
    if (m_variable != nullptr) ::setenv(m_variable, m_path.c_str(), 1);
  }
  ~TempDir() {
    if (m_variable != nullptr) ::unsetenv(m_variable);
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& Path() const { return m_path; }
  std::string File(const std::string& name) const { return m_path + "/" + name; }

  void Write(const std::string& name, const std::string& content) const {
    std::ofstream(File(name), std::ios::binary) << content;
  }
  std::string Read(const std::string& name) const {
    std::ifstream in(File(name), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

 private:
  const char* m_variable;
  std::string m_path;
};

// A fresh port directory for one test, named by VANTREL_PORT_DIR while it lives.
class TempPortDir : public TempDir {
 public:
  TempPortDir() : TempDir("VANTREL_PORT_DIR") {}
};
