#include "net/CTlsContext.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509err.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace Sockora {

namespace {

// The reason OpenSSL gave for the last failure, for a line; `fallback` when it gave none.
std::string OpenSslReason(const char* fallback) {
  const unsigned long error = ERR_peek_last_error();
  ERR_clear_error();
  const char* reason = error == 0 ? nullptr : ERR_reason_error_string(error);
  return reason != nullptr ? reason : fallback;
}

// Empty when the file can be opened for reading, else why not.
std::string Unreadable(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return std::strerror(errno);
  std::fclose(file);
  return {};
}

// A key with a passphrase would make OpenSSL ask on the terminal: a service has nobody
// to answer, so the load fails instead.
int NoPassphrase(char*, int, int, void*) { return 0; }

// Reads every certificate of a PEM bundle into the context's trust store and its list of
// CA names sent to clients. False with `why` when the file holds none or is damaged.
bool LoadClientCa(SSL_CTX* context, const std::string& path, std::string& why) {
  BIO* file = BIO_new_file(path.c_str(), "r");
  if (file == nullptr) {
    why = OpenSslReason("cannot be opened");
    return false;
  }
  STACK_OF(X509_INFO)* items = PEM_X509_INFO_read_bio(file, nullptr, NoPassphrase, nullptr);
  BIO_free(file);
  if (items == nullptr) {
    why = "it is not a PEM certificate bundle (" + OpenSslReason("no PEM data") + ")";
    return false;
  }
  X509_STORE* store = SSL_CTX_get_cert_store(context);
  STACK_OF(X509_NAME)* names = sk_X509_NAME_new_null();
  int certificates = 0;
  bool stored = names != nullptr;
  for (int i = 0; stored && i < sk_X509_INFO_num(items); ++i) {
    X509* certificate = sk_X509_INFO_value(items, i)->x509;
    if (certificate == nullptr) continue;
    ++certificates;
    X509_NAME* name = X509_NAME_dup(X509_get_subject_name(certificate));
    stored = X509_STORE_add_cert(store, certificate) == 1 && name != nullptr && sk_X509_NAME_push(names, name) > 0;
    if (!stored) X509_NAME_free(name);
  }
  sk_X509_INFO_pop_free(items, X509_INFO_free);
  if (!stored || certificates == 0) {
    sk_X509_NAME_pop_free(names, X509_NAME_free);
    why = certificates == 0 && stored ? "it holds no PEM certificate" : OpenSslReason("out of memory");
    return false;
  }
  SSL_CTX_set_client_CA_list(context, names);
  return true;
}

std::time_t NotAfterOf(const X509* certificate) {
  std::tm when{};
  if (certificate == nullptr || ASN1_TIME_to_tm(X509_get0_notAfter(certificate), &when) != 1) return 0;
  return timegm(&when);
}

}  // namespace

std::shared_ptr<const CTlsContext> CTlsContext::Load(const Files& files, std::string& failure) {
  ERR_clear_error();
  const std::pair<const char*, const std::string*> named[] = {
      {"certificate", &files.Certificate}, {"key", &files.Key}, {"client CA bundle", &files.ClientCa}};
  for (const auto& [what, path] : named) {
    if (path->empty()) continue;
    if (const std::string why = Unreadable(*path); !why.empty()) {
      failure = std::string("cannot read the TLS ") + what + " file " + *path + ": " + why;
      return nullptr;
    }
  }
  std::shared_ptr<CTlsContext> result(new CTlsContext());
  result->m_certificatePath = files.Certificate;
  SSL_CTX* context = SSL_CTX_new(TLS_server_method());
  if (context == nullptr) {
    failure = "cannot set TLS up: " + OpenSslReason("out of memory");
    return nullptr;
  }
  result->m_context = context;
  SSL_CTX_set_default_passwd_cb(context, NoPassphrase);
  SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
  SSL_CTX_set_max_proto_version(context, TLS1_3_VERSION);
  SSL_CTX_set_options(context, SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION | SSL_OP_NO_TICKET);
  // Every device keeps one long-lived connection: resumption would only keep sessions in
  // memory, and an idle link should hold no record buffers.
  SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_OFF);
  SSL_CTX_set_num_tickets(context, 0);
  SSL_CTX_set_mode(context, SSL_MODE_RELEASE_BUFFERS);
  if (SSL_CTX_use_certificate_chain_file(context, files.Certificate.c_str()) != 1) {
    failure = "the TLS certificate file " + files.Certificate + " holds no usable PEM certificate (" +
              OpenSslReason("not PEM") + ")";
    return nullptr;
  }
  if (SSL_CTX_use_PrivateKey_file(context, files.Key.c_str(), SSL_FILETYPE_PEM) != 1) {
    const unsigned long error = ERR_peek_last_error();
    if (ERR_GET_LIB(error) == ERR_LIB_X509 && ERR_GET_REASON(error) == X509_R_KEY_VALUES_MISMATCH) {
      ERR_clear_error();
      failure = "the TLS key in " + files.Key + " does not belong to the certificate in " + files.Certificate;
      return nullptr;
    }
    failure = "the TLS key file " + files.Key + " holds no usable PEM private key (" +
              OpenSslReason("not PEM") + "; a key protected by a passphrase cannot be used)";
    return nullptr;
  }
  if (!files.ClientCa.empty()) {
    std::string why;
    if (!LoadClientCa(context, files.ClientCa, why)) {
      failure = "the TLS client CA file " + files.ClientCa + " cannot be used: " + why;
      return nullptr;
    }
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    result->m_requiresClientCertificate = true;
  }
  result->m_notAfter = NotAfterOf(SSL_CTX_get0_certificate(context));
  return result;
}

CTlsContext::~CTlsContext() { SSL_CTX_free(m_context); }

SSL* CTlsContext::NewConnection() const {
  SSL* connection = SSL_new(m_context);
  if (connection != nullptr) SSL_set_accept_state(connection);
  return connection;
}

}  // namespace Sockora
