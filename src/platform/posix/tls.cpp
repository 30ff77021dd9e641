// TLS with OpenSSL. The session reads from one memory BIO, which the transport fills with
// what the socket gave, and writes to another, which the transport empties onto the
// socket: OpenSSL never touches the socket, so reading and sending stay where they are.
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <cstring>

#include "platform/system.h"
#include "platform/tls.h"

struct PlatformTls {
  SSL* ssl;  // owns both BIOs
  BIO* input;
  BIO* output;
  int failureKind;
  char failure[kTlsReasonSize];
  // Encrypted bytes taken from the output BIO and not yet sent; one record and its
  // framing fit whole.
  char outbox[kTlsPlainPiece + 2048];
  int outboxStart;
  int outboxLength;
};

namespace {

void SetReason(char* reason, const char* text) { snprintf(reason, kTlsReasonSize, "%s", text); }

SSL_CTX* NewContext(int verify, const char* caFile, char* reason) {
  SSL_CTX* context = SSL_CTX_new(TLS_client_method());
  if (context == nullptr) {
    SetReason(reason, "the TLS library cannot start");
    return nullptr;
  }
  SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
  SSL_CTX_set_options(context, SSL_OP_NO_RENEGOTIATION);
  if (verify) {
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    // A system without a trust store still trusts the CAFile.
    SSL_CTX_set_default_verify_paths(context);
    if (caFile != nullptr && caFile[0] != '\0' && SSL_CTX_load_verify_locations(context, caFile, nullptr) != 1) {
      snprintf(reason, kTlsReasonSize, "CAFile %s cannot be read", caFile);
      SSL_CTX_free(context);
      return nullptr;
    }
  }
  return context;
}

// The certificate must name the server as the settings do: a dotted address by an IP
// address entry, a host name by a DNS name (which also goes out as the server name
// indication, so a server with several names picks the right certificate).
void ExpectName(SSL* ssl, const char* serverName, int verify) {
  if (X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), serverName) == 1) return;
  SSL_set_tlsext_host_name(ssl, serverName);
  if (verify) SSL_set1_host(ssl, serverName);
}

// Notes why OpenSSL failed, for PlatformTlsFailure, and empties the thread's error queue.
int NoteFailure(PlatformTls* tls, int error) {
  long verdict = SSL_get_verify_result(tls->ssl);
  unsigned long last = ERR_peek_last_error();
  const char* why = last != 0 ? ERR_reason_error_string(last) : nullptr;
  if ((SSL_get_verify_mode(tls->ssl) & SSL_VERIFY_PEER) != 0 && verdict != X509_V_OK) {
    tls->failureKind = kTlsCertificateRejected;
    why = X509_verify_cert_error_string(verdict);
  } else {
    tls->failureKind = kTlsNegotiationFailed;
    if (why == nullptr) why = error == SSL_ERROR_ZERO_RETURN ? "the server ended the session" : "the TLS library failed";
  }
  SetReason(tls->failure, why);
  ERR_clear_error();
  return kTlsFailed;
}

}  // namespace

PlatformTls* PlatformTlsCreate(const char* serverName, int verify, const char* caFile, char* reason) {
  ERR_clear_error();
  SSL_CTX* context = NewContext(verify, caFile, reason);
  if (context == nullptr) return nullptr;
  PlatformTls* tls = static_cast<PlatformTls*>(PlatformAllocate(sizeof(PlatformTls)));
  SSL* ssl = tls != nullptr ? SSL_new(context) : nullptr;
  // The session holds a reference of its own.
  SSL_CTX_free(context);
  BIO* input = BIO_new(BIO_s_mem());
  BIO* output = BIO_new(BIO_s_mem());
  if (ssl == nullptr || input == nullptr || output == nullptr) {
    BIO_free(input);
    BIO_free(output);
    SSL_free(ssl);
    PlatformFree(tls);
    SetReason(reason, "out of memory");
    ERR_clear_error();
    return nullptr;
  }
  memset(tls, 0, sizeof *tls);
  tls->ssl = ssl;
  tls->input = input;
  tls->output = output;
  SSL_set_bio(ssl, input, output);
  SSL_set_connect_state(ssl);
  ExpectName(ssl, serverName, verify);
  return tls;
}

void PlatformTlsDestroy(PlatformTls* tls) {
  if (tls == nullptr) return;
  SSL_free(tls->ssl);
  PlatformFree(tls);
}

int PlatformTlsHandshake(PlatformTls* tls) {
  ERR_clear_error();
  int result = SSL_do_handshake(tls->ssl);
  if (result == 1) return 1;
  int error = SSL_get_error(tls->ssl, result);
  return error == SSL_ERROR_WANT_READ ? kTlsWantMore : NoteFailure(tls, error);
}

int PlatformTlsPutReceived(PlatformTls* tls, const char* data, int length) {
  if (length <= 0) return 0;
  return BIO_write(tls->input, data, length) == length ? 0 : kTlsFailed;
}

namespace {

// OpenSSL answers a key update the server asked for only with the next write; a server
// that waits for the answer before it sends more would wait for nothing. Asked for again
// here (the same answer, not asking the server back), the handshake call makes it now.
void AnswerKeyUpdate(PlatformTls* tls) {
  if (SSL_get_key_update_type(tls->ssl) == SSL_KEY_UPDATE_NONE) return;
  if (SSL_key_update(tls->ssl, SSL_KEY_UPDATE_NOT_REQUESTED) == 1) SSL_do_handshake(tls->ssl);
  ERR_clear_error();
}

}  // namespace

int PlatformTlsTakePlain(PlatformTls* tls, char* buffer, int size) {
  ERR_clear_error();
  int taken = SSL_read(tls->ssl, buffer, size);
  if (taken > 0) return taken;
  int error = SSL_get_error(tls->ssl, taken);
  if (error == SSL_ERROR_WANT_READ) {
    AnswerKeyUpdate(tls);
    return kTlsWantMore;
  }
  if (error == SSL_ERROR_ZERO_RETURN) return kTlsClosed;
  return NoteFailure(tls, error);
}

int PlatformTlsPutPlain(PlatformTls* tls, const char* data, int length) {
  if (length <= 0) return 0;
  ERR_clear_error();
  int taken = SSL_write(tls->ssl, data, length < kTlsPlainPiece ? length : kTlsPlainPiece);
  return taken > 0 ? taken : NoteFailure(tls, SSL_get_error(tls->ssl, taken));
}

int PlatformTlsOutgoing(PlatformTls* tls, const char** data) {
  if (tls->outboxStart == tls->outboxLength) {
    int taken = BIO_read(tls->output, tls->outbox, sizeof tls->outbox);
    tls->outboxStart = 0;
    tls->outboxLength = taken > 0 ? taken : 0;
  }
  *data = tls->outbox + tls->outboxStart;
  return tls->outboxLength - tls->outboxStart;
}

void PlatformTlsSent(PlatformTls* tls, int count) {
  int waiting = tls->outboxLength - tls->outboxStart;
  tls->outboxStart += count < waiting ? (count > 0 ? count : 0) : waiting;
}

void PlatformTlsClose(PlatformTls* tls) {
  // 0 (the server's close_notify has not come) is all that is asked for.
  SSL_shutdown(tls->ssl);
  ERR_clear_error();
}

int PlatformTlsFailure(PlatformTls* tls, char* reason) {
  SetReason(reason, tls->failure);
  return tls->failureKind;
}

void PlatformTlsDescribe(PlatformTls* tls, char* text, size_t size) {
  snprintf(text, size, "%s with %s", SSL_get_version(tls->ssl), SSL_get_cipher_name(tls->ssl));
}
