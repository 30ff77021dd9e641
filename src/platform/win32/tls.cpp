// TLS with SChannel, Windows' own TLS: nothing to ship beside pwt.dll. As on POSIX the
// session never touches the socket: the transport puts what it read into the inbox and
// sends what the outbox holds. The server's certificate is checked here rather than by
// SChannel, so that CAFile can name the only roots an account trusts and a refusal says
// why in words.
#define SECURITY_WIN32
#include <windows.h>
#include <schannel.h>
#include <security.h>
#include <wincrypt.h>

#include <cstdio>
#include <cstring>

#include "platform/system.h"
#include "platform/tls.h"

namespace {

// A byte store that grows as needed: the received ciphertext, the decrypted bytes not yet
// taken, the encrypted bytes not yet sent.
struct ByteQueue {
  char* bytes;
  int start;
  int length;  // from bytes, including what is before start
  int capacity;
};

bool Append(ByteQueue& queue, const char* data, int count) {
  if (count <= 0) return true;
  if (queue.start > 0 && queue.start == queue.length) queue.start = queue.length = 0;
  if (queue.length + count > queue.capacity) {
    int waiting = queue.length - queue.start;
    int capacity = queue.capacity > 0 ? queue.capacity : 4096;
    while (capacity < waiting + count) capacity *= 2;
    char* grown = static_cast<char*>(PlatformAllocate(static_cast<size_t>(capacity)));
    if (grown == nullptr) return false;
    if (waiting > 0) memcpy(grown, queue.bytes + queue.start, static_cast<size_t>(waiting));
    PlatformFree(queue.bytes);
    queue = ByteQueue{grown, 0, waiting, capacity};
  }
  memcpy(queue.bytes + queue.length, data, static_cast<size_t>(count));
  queue.length += count;
  return true;
}

int Waiting(const ByteQueue& queue) { return queue.length - queue.start; }

// Keeps only the last count bytes waiting (SChannel's "extra" input), at the front.
void KeepLast(ByteQueue& queue, int count) {
  if (count > 0) memmove(queue.bytes, queue.bytes + queue.length - count, static_cast<size_t>(count));
  queue.start = 0;
  queue.length = count;
}

}  // namespace

struct PlatformTls {
  CredHandle credentials;
  CtxtHandle context;
  bool credentialsMade;
  bool contextMade;
  bool verify;
  bool closed;
  char serverName[256];
  HCERTSTORE roots;  // CAFile's certificates, the only roots trusted; nullptr: the system's
  SecPkgContext_StreamSizes sizes;
  ByteQueue inbox;
  ByteQueue plain;
  // Encrypted bytes: made (records, handshake tokens, alerts) go into made; outbox holds
  // what PlatformTlsOutgoing handed out, which must not move while it is being sent.
  ByteQueue made;
  ByteQueue outbox;
  int failureKind;
  char failure[kTlsReasonSize];
};

namespace {

constexpr DWORD kContextRequest = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                                  ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM | ISC_REQ_MANUAL_CRED_VALIDATION;
#ifndef SP_PROT_TLS1_3_CLIENT
constexpr DWORD SP_PROT_TLS1_3_CLIENT = 0x00002000;
#endif

int Fail(PlatformTls* tls, int kind, const char* reason) {
  tls->failureKind = kind;
  snprintf(tls->failure, sizeof tls->failure, "%s", reason);
  return kTlsFailed;
}

// SChannel's status in the system's words where it has them, else as a number.
int FailWithStatus(PlatformTls* tls, const char* doing, SECURITY_STATUS status) {
  char words[96] = "";
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                static_cast<DWORD>(status), 0, words, sizeof words, nullptr);
  while (length > 0 && (words[length - 1] == '\n' || words[length - 1] == '\r' || words[length - 1] == '.')) {
    words[--length] = '\0';
  }
  char reason[kTlsReasonSize];
  if (length > 0) {
    snprintf(reason, sizeof reason, "%s: %s", doing, words);
  } else {
    snprintf(reason, sizeof reason, "%s: SChannel error 0x%08lx", doing, static_cast<unsigned long>(status));
  }
  return Fail(tls, kTlsNegotiationFailed, reason);
}

// Reads CAFile's PEM certificates into a store of their own. Returns nullptr when the
// file cannot be read or holds none.
HCERTSTORE ReadRoots(const char* caFile) {
  HANDLE file = CreateFileA(caFile, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  constexpr DWORD kMostPem = 1 << 20;
  DWORD size = GetFileSize(file, nullptr);
  char* pem = size > 0 && size <= kMostPem ? static_cast<char*>(PlatformAllocate(size + 1)) : nullptr;
  DWORD got = 0;
  bool read = pem != nullptr && ReadFile(file, pem, size, &got, nullptr) && got == size;
  CloseHandle(file);
  HCERTSTORE store = read ? CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr) : nullptr;
  int added = 0;
  if (store != nullptr) {
    pem[size] = '\0';
    const char* begin = pem;
    while ((begin = strstr(begin, "-----BEGIN CERTIFICATE-----")) != nullptr) {
      const char* end = strstr(begin, "-----END CERTIFICATE-----");
      if (end == nullptr) break;
      end += strlen("-----END CERTIFICATE-----");
      BYTE der[16384];
      DWORD derLength = sizeof der;
      if (CryptStringToBinaryA(begin, static_cast<DWORD>(end - begin), CRYPT_STRING_BASE64HEADER, der, &derLength,
                               nullptr, nullptr) &&
          CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der, derLength, CERT_STORE_ADD_ALWAYS, nullptr)) {
        ++added;
      }
      begin = end;
    }
  }
  PlatformFree(pem);
  if (store != nullptr && added == 0) {
    CertCloseStore(store, 0);
    store = nullptr;
  }
  return store;
}

bool AppendToken(PlatformTls* tls, SecBuffer& token) {
  bool kept = Append(tls->made, static_cast<const char*>(token.pvBuffer), static_cast<int>(token.cbBuffer));
  if (token.pvBuffer != nullptr) FreeContextBuffer(token.pvBuffer);
  token.pvBuffer = nullptr;
  return kept;
}

// The dotted IPv4 address of text, when it is one.
bool ParseAddress(const char* text, BYTE (&address)[4]) {
  unsigned parts[4];
  char tail;
  if (sscanf(text, "%u.%u.%u.%u%c", &parts[0], &parts[1], &parts[2], &parts[3], &tail) != 4) return false;
  for (int i = 0; i < 4; ++i) {
    if (parts[i] > 255) return false;
    address[i] = static_cast<BYTE>(parts[i]);
  }
  return true;
}

// A server reached by address must be named by an IP address entry of the certificate;
// the SSL policy knows host names only.
bool NamesAddress(PCCERT_CONTEXT certificate, const BYTE (&address)[4]) {
  PCERT_EXTENSION extension = CertFindExtension(szOID_SUBJECT_ALT_NAME2, certificate->pCertInfo->cExtension,
                                                certificate->pCertInfo->rgExtension);
  if (extension == nullptr) return false;
  CERT_ALT_NAME_INFO* names = nullptr;
  DWORD size = 0;
  if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData, extension->Value.cbData,
                           CRYPT_DECODE_ALLOC_FLAG, nullptr, &names, &size)) {
    return false;
  }
  bool named = false;
  for (DWORD i = 0; i < names->cAltEntry && !named; ++i) {
    const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
    named = entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && entry.IPAddress.cbData == 4 &&
            memcmp(entry.IPAddress.pbData, address, 4) == 0;
  }
  LocalFree(names);
  return named;
}

bool IsOneOfRoots(HCERTSTORE roots, PCCERT_CONTEXT certificate) {
  PCCERT_CONTEXT root = nullptr;
  while ((root = CertEnumCertificatesInStore(roots, root)) != nullptr) {
    if (CertCompareCertificate(X509_ASN_ENCODING, root->pCertInfo, certificate->pCertInfo)) {
      CertFreeCertificateContext(root);
      return true;
    }
  }
  return false;
}

// The refusal in OpenSSL's words where there is one (the daily log reads the same on
// every system), with what an administrator can do about it.
const char* RefusalReason(DWORD error, bool byAddress) {
  switch (error) {
    case static_cast<DWORD>(CERT_E_EXPIRED):
      return "certificate has expired (or is not valid yet; check the server's certificate and this clock)";
    case static_cast<DWORD>(CERT_E_CN_NO_MATCH):
      return byAddress ? "IP address mismatch (the certificate does not name this address)"
                       : "hostname mismatch (the certificate does not name this server)";
    case static_cast<DWORD>(CERT_E_UNTRUSTEDROOT):
    case static_cast<DWORD>(CERT_E_CHAINING):
      return "unable to get local issuer certificate (its CA is not among the trusted roots; see CAFile)";
    case static_cast<DWORD>(CRYPT_E_REVOKED):
      return "certificate revoked";
    case static_cast<DWORD>(CERT_E_WRONG_USAGE):
      return "unsupported certificate purpose (not a server certificate)";
    default:
      return "the certificate chain was refused by Windows";
  }
}

// Checks the chain and the name of the server's certificate. Returns 0, or kTlsFailed.
int CheckCertificate(PlatformTls* tls) {
  PCCERT_CONTEXT certificate = nullptr;
  if (QueryContextAttributesA(&tls->context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate) != SEC_E_OK) {
    return Fail(tls, kTlsCertificateRejected, "the server sent no certificate");
  }
  HCERTSTORE extra = CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, 0, nullptr);
  if (extra != nullptr) {
    CertAddStoreToCollection(extra, certificate->hCertStore, 0, 0);
    if (tls->roots != nullptr) CertAddStoreToCollection(extra, tls->roots, 0, 0);
  }
  CERT_CHAIN_PARA chainPara = {};
  chainPara.cbSize = sizeof chainPara;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  BOOL built = CertGetCertificateChain(nullptr, certificate, nullptr, extra, &chainPara, 0, nullptr, &chain);
  BYTE address[4];
  bool byAddress = ParseAddress(tls->serverName, address);
  DWORD error = built ? 0 : static_cast<DWORD>(CERT_E_CHAINING);
  if (built) {
    wchar_t wideName[256];
    MultiByteToWideChar(CP_ACP, 0, tls->serverName, -1, wideName, 256);
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl = {};
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    // Without a name the policy leaves the name alone: an address is checked below.
    ssl.pwszServerName = byAddress ? nullptr : wideName;
    CERT_CHAIN_POLICY_PARA policyPara = {};
    policyPara.cbSize = sizeof policyPara;
    policyPara.pvExtraPolicyPara = &ssl;
    // With CAFile its certificates are the only roots: the chain must end at one of
    // them, which Windows itself does not know.
    const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
    PCCERT_CONTEXT top = simple->rgpElement[simple->cElement - 1]->pCertContext;
    constexpr DWORD kNoTrustedRoot = CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN;
    if (tls->roots != nullptr) {
      if (IsOneOfRoots(tls->roots, top)) {
        policyPara.dwFlags = CERT_CHAIN_POLICY_ALLOW_UNKNOWN_CA_FLAG;
      } else {
        error = static_cast<DWORD>(CERT_E_UNTRUSTEDROOT);
      }
    } else if ((chain->TrustStatus.dwErrorStatus & kNoTrustedRoot) != 0) {
      // Said here as well as by the policy, which not every SChannel applies alike.
      error = static_cast<DWORD>(CERT_E_UNTRUSTEDROOT);
    }
    CERT_CHAIN_POLICY_STATUS status = {};
    status.cbSize = sizeof status;
    if (error == 0 && CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policyPara, &status)) {
      error = status.dwError;
    }
    if (error == 0 && byAddress && !NamesAddress(certificate, address)) error = static_cast<DWORD>(CERT_E_CN_NO_MATCH);
    CertFreeCertificateChain(chain);
  }
  if (extra != nullptr) CertCloseStore(extra, 0);
  CertFreeCertificateContext(certificate);
  return error == 0 ? 0 : Fail(tls, kTlsCertificateRejected, RefusalReason(error, byAddress));
}

// The handshake is done: the certificate is judged, the record sizes known.
int FinishHandshake(PlatformTls* tls) {
  if (tls->verify && CheckCertificate(tls) != 0) return kTlsFailed;
  SECURITY_STATUS status = QueryContextAttributesA(&tls->context, SECPKG_ATTR_STREAM_SIZES, &tls->sizes);
  if (status != SEC_E_OK) return FailWithStatus(tls, "the TLS session has no record sizes", status);
  return 1;
}

// One call of InitializeSecurityContext with what the inbox holds (nothing for the first).
SECURITY_STATUS Initialize(PlatformTls* tls) {
  SecBuffer input[2] = {{static_cast<ULONG>(Waiting(tls->inbox)), SECBUFFER_TOKEN, tls->inbox.bytes + tls->inbox.start},
                        {0, SECBUFFER_EMPTY, nullptr}};
  SecBufferDesc inputDesc = {SECBUFFER_VERSION, 2, input};
  SecBuffer output = {0, SECBUFFER_TOKEN, nullptr};
  SecBufferDesc outputDesc = {SECBUFFER_VERSION, 1, &output};
  ULONG attributes = 0;
  SECURITY_STATUS status = InitializeSecurityContextA(
      &tls->credentials, tls->contextMade ? &tls->context : nullptr, tls->serverName, kContextRequest, 0, 0,
      tls->contextMade ? &inputDesc : nullptr, 0, &tls->context, &outputDesc, &attributes, nullptr);
  tls->contextMade = true;
  if (!AppendToken(tls, output)) return SEC_E_INSUFFICIENT_MEMORY;
  if (status == SEC_E_INCOMPLETE_MESSAGE) return status;
  // What SChannel did not read belongs to the next message, or is the first data.
  KeepLast(tls->inbox, input[1].BufferType == SECBUFFER_EXTRA ? static_cast<int>(input[1].cbBuffer) : 0);
  return status;
}

}  // namespace

PlatformTls* PlatformTlsCreate(const char* serverName, int verify, const char* caFile, char* reason) {
  HCERTSTORE roots = nullptr;
  if (verify && caFile != nullptr && caFile[0] != '\0' && (roots = ReadRoots(caFile)) == nullptr) {
    snprintf(reason, kTlsReasonSize, "CAFile %s cannot be read", caFile);
    return nullptr;
  }
  auto* tls = static_cast<PlatformTls*>(PlatformAllocate(sizeof(PlatformTls)));
  if (tls == nullptr) {
    if (roots != nullptr) CertCloseStore(roots, 0);
    snprintf(reason, kTlsReasonSize, "out of memory");
    return nullptr;
  }
  memset(tls, 0, sizeof *tls);
  tls->verify = verify != 0;
  tls->roots = roots;
  snprintf(tls->serverName, sizeof tls->serverName, "%s", serverName);
  SCHANNEL_CRED credentials = {};
  credentials.dwVersion = SCHANNEL_CRED_VERSION;
  credentials.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT;
  credentials.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
  SECURITY_STATUS status = AcquireCredentialsHandleA(nullptr, const_cast<char*>(UNISP_NAME_A), SECPKG_CRED_OUTBOUND,
                                                     nullptr, &credentials, nullptr, nullptr, &tls->credentials,
                                                     nullptr);
  if (status != SEC_E_OK) {
    // A system without TLS 1.3 refuses to be asked for it.
    credentials.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
    status = AcquireCredentialsHandleA(nullptr, const_cast<char*>(UNISP_NAME_A), SECPKG_CRED_OUTBOUND, nullptr,
                                       &credentials, nullptr, nullptr, &tls->credentials, nullptr);
  }
  tls->credentialsMade = status == SEC_E_OK;
  if (status != SEC_E_OK) {
    FailWithStatus(tls, "SChannel cannot start", status);
    snprintf(reason, kTlsReasonSize, "%s", tls->failure);
    PlatformTlsDestroy(tls);
    return nullptr;
  }
  return tls;
}

void PlatformTlsDestroy(PlatformTls* tls) {
  if (tls == nullptr) return;
  if (tls->contextMade) DeleteSecurityContext(&tls->context);
  if (tls->credentialsMade) FreeCredentialsHandle(&tls->credentials);
  if (tls->roots != nullptr) CertCloseStore(tls->roots, 0);
  PlatformFree(tls->inbox.bytes);
  PlatformFree(tls->plain.bytes);
  PlatformFree(tls->made.bytes);
  PlatformFree(tls->outbox.bytes);
  PlatformFree(tls);
}

int PlatformTlsHandshake(PlatformTls* tls) {
  for (;;) {
    if (tls->contextMade && Waiting(tls->inbox) == 0) return kTlsWantMore;
    SECURITY_STATUS status = Initialize(tls);
    if (status == SEC_E_OK) return FinishHandshake(tls);
    if (status == SEC_E_INCOMPLETE_MESSAGE) return kTlsWantMore;
    if (status == SEC_I_CONTINUE_NEEDED || status == SEC_I_INCOMPLETE_CREDENTIALS) {
      if (Waiting(tls->inbox) == 0) return kTlsWantMore;
      continue;
    }
    return FailWithStatus(tls, "the handshake failed", status);
  }
}

int PlatformTlsPutReceived(PlatformTls* tls, const char* data, int length) {
  return Append(tls->inbox, data, length) ? 0 : kTlsFailed;
}

namespace {

// Decrypts the records the inbox holds whole into the plain queue. Returns 0, or
// kTlsClosed, kTlsFailed.
int DecryptWaiting(PlatformTls* tls) {
  while (Waiting(tls->inbox) > 0) {
    SecBuffer buffers[4] = {{static_cast<ULONG>(Waiting(tls->inbox)), SECBUFFER_DATA, tls->inbox.bytes + tls->inbox.start},
                            {0, SECBUFFER_EMPTY, nullptr},
                            {0, SECBUFFER_EMPTY, nullptr},
                            {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc description = {SECBUFFER_VERSION, 4, buffers};
    SECURITY_STATUS status = DecryptMessage(&tls->context, &description, 0, nullptr);
    if (status == SEC_E_INCOMPLETE_MESSAGE) return 0;
    if (status == SEC_I_CONTEXT_EXPIRED) return kTlsClosed;
    if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE) return FailWithStatus(tls, "a record could not be read", status);
    int extra = 0;
    for (SecBuffer& buffer : buffers) {
      if (buffer.BufferType == SECBUFFER_DATA &&
          !Append(tls->plain, static_cast<const char*>(buffer.pvBuffer), static_cast<int>(buffer.cbBuffer))) {
        return Fail(tls, kTlsNegotiationFailed, "out of memory");
      }
      if (buffer.BufferType == SECBUFFER_EXTRA) extra = static_cast<int>(buffer.cbBuffer);
    }
    KeepLast(tls->inbox, extra);
    if (status == SEC_I_RENEGOTIATE) {
      // A handshake message after the handshake (a TLS 1.3 ticket or key update): SChannel
      // takes it through the context; the transport sends its answer at once.
      status = Initialize(tls);
      if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED && status != SEC_E_INCOMPLETE_MESSAGE) {
        return FailWithStatus(tls, "a message after the handshake failed", status);
      }
      if (status == SEC_E_INCOMPLETE_MESSAGE) return 0;
    }
  }
  return 0;
}

}  // namespace

int PlatformTlsTakePlain(PlatformTls* tls, char* buffer, int size) {
  if (Waiting(tls->plain) == 0 && !tls->closed) {
    int result = DecryptWaiting(tls);
    if (result == kTlsClosed) tls->closed = true;
    if (result == kTlsFailed) return kTlsFailed;
  }
  int waiting = Waiting(tls->plain);
  if (waiting == 0) return tls->closed ? kTlsClosed : kTlsWantMore;
  int count = waiting < size ? waiting : size;
  memcpy(buffer, tls->plain.bytes + tls->plain.start, static_cast<size_t>(count));
  tls->plain.start += count;
  return count;
}

int PlatformTlsPutPlain(PlatformTls* tls, const char* data, int length) {
  if (length <= 0) return 0;
  int count = length < kTlsPlainPiece ? length : kTlsPlainPiece;
  if (count > static_cast<int>(tls->sizes.cbMaximumMessage)) count = static_cast<int>(tls->sizes.cbMaximumMessage);
  int header = static_cast<int>(tls->sizes.cbHeader);
  int record = header + count + static_cast<int>(tls->sizes.cbTrailer);
  char* bytes = static_cast<char*>(PlatformAllocate(static_cast<size_t>(record)));
  if (bytes == nullptr) return Fail(tls, kTlsNegotiationFailed, "out of memory");
  memcpy(bytes + header, data, static_cast<size_t>(count));
  SecBuffer buffers[4] = {{tls->sizes.cbHeader, SECBUFFER_STREAM_HEADER, bytes},
                          {static_cast<ULONG>(count), SECBUFFER_DATA, bytes + header},
                          {tls->sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, bytes + header + count},
                          {0, SECBUFFER_EMPTY, nullptr}};
  SecBufferDesc description = {SECBUFFER_VERSION, 4, buffers};
  SECURITY_STATUS status = EncryptMessage(&tls->context, 0, &description, 0);
  int result = count;
  if (status != SEC_E_OK) {
    result = FailWithStatus(tls, "a record could not be made", status);
  } else if (!Append(tls->made, bytes, static_cast<int>(buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer))) {
    result = Fail(tls, kTlsNegotiationFailed, "out of memory");
  }
  PlatformFree(bytes);
  return result;
}

int PlatformTlsOutgoing(PlatformTls* tls, const char** data) {
  if (Waiting(tls->outbox) == 0 && Waiting(tls->made) > 0) {
    ByteQueue sent = tls->outbox;
    tls->outbox = tls->made;
    tls->made = ByteQueue{sent.bytes, 0, 0, sent.capacity};
  }
  *data = tls->outbox.bytes + tls->outbox.start;
  return Waiting(tls->outbox);
}

void PlatformTlsSent(PlatformTls* tls, int count) {
  int waiting = Waiting(tls->outbox);
  tls->outbox.start += count < waiting ? (count > 0 ? count : 0) : waiting;
}

void PlatformTlsClose(PlatformTls* tls) {
  DWORD type = SCHANNEL_SHUTDOWN;
  SecBuffer control = {sizeof type, SECBUFFER_TOKEN, &type};
  SecBufferDesc controlDesc = {SECBUFFER_VERSION, 1, &control};
  if (ApplyControlToken(&tls->context, &controlDesc) != SEC_E_OK) return;
  // With the shutdown applied, the next token SChannel makes is the close_notify alert.
  SecBuffer output = {0, SECBUFFER_TOKEN, nullptr};
  SecBufferDesc outputDesc = {SECBUFFER_VERSION, 1, &output};
  ULONG attributes = 0;
  InitializeSecurityContextA(&tls->credentials, &tls->context, tls->serverName, kContextRequest, 0, 0, nullptr, 0,
                             &tls->context, &outputDesc, &attributes, nullptr);
  AppendToken(tls, output);
}

int PlatformTlsFailure(PlatformTls* tls, char* reason) {
  snprintf(reason, kTlsReasonSize, "%s", tls->failure);
  return tls->failureKind;
}

void PlatformTlsDescribe(PlatformTls* tls, char* text, size_t size) {
  SecPkgContext_ConnectionInfo info = {};
  const char* version = "TLS";
  if (QueryContextAttributesA(&tls->context, SECPKG_ATTR_CONNECTION_INFO, &info) == SEC_E_OK) {
    if ((info.dwProtocol & SP_PROT_TLS1_3_CLIENT) != 0) version = "TLSv1.3";
    if ((info.dwProtocol & SP_PROT_TLS1_2_CLIENT) != 0) version = "TLSv1.2";
  }
  SecPkgContext_CipherInfo cipher = {};
  char suite[64] = "";
  if (QueryContextAttributesA(&tls->context, SECPKG_ATTR_CIPHER_INFO, &cipher) == SEC_E_OK) {
    WideCharToMultiByte(CP_ACP, 0, cipher.szCipherSuite, -1, suite, sizeof suite, nullptr, nullptr);
  } else {
    snprintf(suite, sizeof suite, "cipher 0x%04lx", static_cast<unsigned long>(info.aiCipher));
  }
  snprintf(text, size, "%s with %s", version, suite);
}
