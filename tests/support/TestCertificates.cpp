#include "TestCertificates.h"

#include <cstdlib>

TestCertificates::TestCertificates() {
  const std::string names = "subjectAltName=DNS:vantrel.example.com,IP:127.0.0.1\nextendedKeyUsage=serverAuth\n";
  // The first step that fails ends the making; Problem() says why.
  if (!MakeCa("ca", "/CN=Vantrel test CA") || !MakeSigned("server", "ca", "/CN=vantrel.example.com", names) ||
      !MakeSigned("00000001", "ca", "/CN=00000001", "extendedKeyUsage=clientAuth\n"))
    return;
  if (MakeCa("stranger-ca", "/CN=Someone else"))
    MakeSigned("stranger-server", "stranger-ca", "/CN=vantrel.example.com", names);
}

bool TestCertificates::Openssl(const std::string& arguments) {
  const std::string command = "openssl " + arguments + " >'" + m_dir.File("openssl.log") + "' 2>&1";
  if (std::system(command.c_str()) == 0) return true;
  m_problem = "openssl " + arguments + ": " + m_dir.Read("openssl.log");
  return false;
}

bool TestCertificates::MakeCa(const std::string& name, const std::string& subject) {
  return Openssl("req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 30 -subj '" + subject +
                 "' -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign -keyout '" +
                 File(name + ".key") + "' -out '" + File(name + ".pem") + "'");
}

bool TestCertificates::MakeSigned(const std::string& name, const std::string& ca, const std::string& subject,
                                  const std::string& extensions) {
  m_dir.Write(name + ".ext", extensions);
  return Openssl("req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj '" + subject + "' -keyout '" +
                 File(name + ".key") + "' -out '" + File(name + ".csr") + "'") &&
         Openssl("x509 -req -in '" + File(name + ".csr") + "' -CA '" + File(ca + ".pem") + "' -CAkey '" +
                 File(ca + ".key") + "' -CAcreateserial -days 30 -extfile '" + File(name + ".ext") + "' -out '" +
                 File(name + ".pem") + "'");
}
