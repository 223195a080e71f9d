#pragma once

#include <string>

#include "TempDir.h"

// A small CA with a server certificate (for 127.0.0.1 and vantrel.example.com) and the
// certificate of device 00000001, a second CA with a server certificate of its own, made
// with the openssl program in a temporary directory. Owner's thread.
class TestCertificates {
 public:
  TestCertificates();
  // Empty when every file was made; else what the openssl program said.
  const std::string& Problem() const { return m_problem; }
  // ca.pem, server.pem, server.key, 00000001.pem, 00000001.key, stranger-ca.pem,
  // stranger-server.pem, stranger-server.key.
  std::string File(const std::string& name) const { return m_dir.File(name); }

 private:
  bool Openssl(const std::string& arguments);
  bool MakeCa(const std::string& name, const std::string& subject);
  bool MakeSigned(const std::string& name, const std::string& ca, const std::string& subject,
                  const std::string& extensions);

  TempDir m_dir;
  std::string m_problem;
};
