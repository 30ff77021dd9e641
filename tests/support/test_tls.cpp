#include "test_tls.h"

#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>

namespace {

constexpr long kDay = 24 * 60 * 60;

// One key for the CA and every certificate it signs keeps the making quick.
EVP_PKEY* Key() {
  static EVP_PKEY* key = EVP_EC_gen("P-256");
  return key;
}

X509* MakeCertificate(const char* subject, X509* issuer, const char* extension, long fromDays, long toDays) {
  static long serial = 0;
  X509* certificate = X509_new();
  X509_set_version(certificate, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(certificate), ++serial);
  X509_gmtime_adj(X509_getm_notBefore(certificate), fromDays * kDay);
  X509_gmtime_adj(X509_getm_notAfter(certificate), toDays * kDay);
  X509_set_pubkey(certificate, Key());
  X509_NAME_add_entry_by_txt(X509_get_subject_name(certificate), "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(subject), -1, -1, 0);
  if (issuer == nullptr) issuer = certificate;
  X509_set_issuer_name(certificate, X509_get_subject_name(issuer));
  X509V3_CTX context;
  X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
  bool authority = issuer == certificate;
  X509_EXTENSION* made = X509V3_EXT_conf_nid(nullptr, &context, authority ? NID_basic_constraints : NID_subject_alt_name,
                                            extension);
  X509_add_ext(certificate, made, -1);
  X509_EXTENSION_free(made);
  X509_sign(certificate, Key(), EVP_sha256());
  return certificate;
}

X509* Authority() {
  static X509* authority = MakeCertificate("Postwain test CA", nullptr, "critical,CA:TRUE", -1, 30);
  return authority;
}

SSL_CTX* Context(TestCertificate certificate) {
  static SSL_CTX* contexts[3] = {};
  SSL_CTX*& context = contexts[static_cast<int>(certificate)];
  if (context != nullptr) return context;
  X509* leaf = certificate == TestCertificate::kGood      ? MakeCertificate("good", Authority(), "IP:127.0.0.1", -1, 30)
               : certificate == TestCertificate::kExpired ? MakeCertificate("expired", Authority(), "IP:127.0.0.1", -3, -1)
                                                          : MakeCertificate("other", Authority(), "DNS:other.example", -1, 30);
  context = SSL_CTX_new(TLS_server_method());
  SSL_CTX_use_certificate(context, leaf);
  SSL_CTX_use_PrivateKey(context, Key());
  X509_free(leaf);
  return context;
}

}  // namespace

bool TestServersHaveTls() { return true; }

std::string WriteTestCA(const std::string& dir) {
  std::string path = dir + "/test-ca.pem";
  BIO* file = BIO_new_file(path.c_str(), "w");
  PEM_write_bio_X509(file, Authority());
  BIO_free(file);
  return path;
}

struct ServerTls {
  SSL* ssl;
};

ServerTls* AcceptTls(intptr_t stream, TestCertificate certificate) {
  // A client that stops in the middle of the handshake fails it instead of hanging it.
  timeval patience{30, 0};
  setsockopt(static_cast<int>(stream), SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
  SSL* ssl = SSL_new(Context(certificate));
  SSL_set_fd(ssl, static_cast<int>(stream));
  if (SSL_accept(ssl) == 1) return new ServerTls{ssl};
  SSL_free(ssl);
  return nullptr;
}

long TlsSend(ServerTls* tls, const char* data, size_t length) { return SSL_write(tls->ssl, data, static_cast<int>(length)); }

long TlsReceive(ServerTls* tls, char* data, size_t size, uint32_t milliseconds) {
  pollfd entry{SSL_get_fd(tls->ssl), POLLIN, 0};
  if (SSL_pending(tls->ssl) == 0 && poll(&entry, 1, static_cast<int>(milliseconds)) <= 0) return -1;
  return std::max(SSL_read(tls->ssl, data, static_cast<int>(size)), 0);
}

void TlsAskKeyUpdate(ServerTls* tls) {
  SSL_key_update(tls->ssl, SSL_KEY_UPDATE_REQUESTED);
  // A read that finds only the answer returns instead of blocking for data behind it.
  SSL_clear_mode(tls->ssl, SSL_MODE_AUTO_RETRY);
}

bool TlsClosedByClient(ServerTls* tls) { return (SSL_get_shutdown(tls->ssl) & SSL_RECEIVED_SHUTDOWN) != 0; }

void EndTls(ServerTls* tls) {
  if (tls != nullptr) SSL_free(tls->ssl);
  delete tls;
}
