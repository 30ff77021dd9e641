#include "platform/files.h"
#include "platform/system.h"
#include "host/demo/smtp_server.h"

#include <cstdio>
#include <cstring>

#include "util/text.h"

namespace {

constexpr int kMaxRecipients = 32;

struct SmtpSession {
  DemoStream* client;
  DemoSmtpDomain* domain;
  bool greeted;
  bool hasSender;
  char sender[512];
  char recipients[kMaxRecipients][256];  // local parts, each once
  int recipientCount;
};

// The text between "<" and ">" behind a "MAIL FROM:" or "RCPT TO:" verb; -1 when the
// brackets are missing.
int PathArgument(const char* line, size_t verbLength, char* path, size_t size) {
  const char* open = line + verbLength;
  while (*open == ' ') ++open;
  if (*open != '<') return -1;
  const char* close = strchr(open, '>');
  if (close == nullptr) return -1;
  CopyTextN(path, size, open + 1, static_cast<size_t>(close - open - 1));
  return 0;
}

bool IsLocalUser(const DemoSmtpDomain& domain, const char* localPart) {
  if (EqualsNoCase(localPart, "postmaster")) return true;
  for (int i = 0; i < domain.userCount; ++i) {
    if (EqualsNoCase(localPart, domain.users[i])) return true;
  }
  return false;
}

int AddRecipient(SmtpSession* session, const char* line) {
  char address[256];
  if (PathArgument(line, 8, address, sizeof address) != 0) {
    return DemoSendLine(session->client, "501 5.5.4 Syntax: RCPT TO:<address>");
  }
  char* at = strrchr(address, '@');
  if (at != nullptr) *at = '\0';
  if (at == nullptr || !EqualsNoCase(at + 1, session->domain->domain) || !IsLocalUser(*session->domain, address)) {
    return DemoSendLine(session->client, "550 5.1.1 No such user here");
  }
  for (char* c = address; *c != '\0'; ++c) *c = LowerAscii(*c);
  for (int i = 0; i < session->recipientCount; ++i) {
    // Named twice (in To: and Cc:, say): one copy, as any real server delivers.
    if (strcmp(session->recipients[i], address) == 0) return DemoSendLine(session->client, "250 2.1.5 OK");
  }
  if (session->recipientCount == kMaxRecipients) return DemoSendLine(session->client, "452 4.5.3 Too many recipients");
  CopyText(session->recipients[session->recipientCount++], address);
  return DemoSendLine(session->client, "250 2.1.5 OK");
}

struct Delivery {
  intptr_t files[kMaxRecipients];
  char temporary[kMaxRecipients][kPathSize];
  char final[kMaxRecipients][kPathSize];
};

// root/user, followed by rest when given.
void MaildirPath(char* path, const char* root, const char* user, const char* rest) {
  path[0] = '\0';
  AppendFormat(path, kPathSize, "%s%c%s", root, kDirectorySeparator, user);
  if (rest != nullptr) AppendFormat(path, kPathSize, "%c%s", kDirectorySeparator, rest);
}

void MakeMaildir(const char* root, const char* user) {
  char path[kPathSize];
  MaildirPath(path, root, user, nullptr);
  PlatformCreateDirectory(path);
  for (const char* sub : {"tmp", "new", "cur"}) {
    MaildirPath(path, root, user, sub);
    PlatformCreateDirectory(path);
  }
}

// Opens a file in tmp/ of each recipient's maildir, headed by the envelope.
int OpenDelivery(SmtpSession* session, Delivery* delivery) {
  DemoSmtpDomain* domain = session->domain;
  int serial = ++domain->delivered;
  for (int i = 0; i < session->recipientCount; ++i) {
    const char* user = session->recipients[i];
    MakeMaildir(domain->maildirRoot, user);
    char name[32];
    snprintf(name, sizeof name, "%06d.demo", serial);
    MaildirPath(delivery->temporary[i], domain->maildirRoot, user, "tmp");
    AppendFormat(delivery->temporary[i], kPathSize, "%c%s", kDirectorySeparator, name);
    MaildirPath(delivery->final[i], domain->maildirRoot, user, "new");
    AppendFormat(delivery->final[i], kPathSize, "%c%s", kDirectorySeparator, name);
    delivery->files[i] = PlatformOpenForAppend(delivery->temporary[i]);
    if (delivery->files[i] < 0) return -1;
    char envelope[1024];
    snprintf(envelope, sizeof envelope, "Return-Path: <%s>\nDelivered-To: %s@%s\n", session->sender, user,
             domain->domain);
    PlatformWriteFile(delivery->files[i], envelope, strlen(envelope));
  }
  return 0;
}

void WriteDelivery(const SmtpSession& session, Delivery* delivery, const char* data, size_t length) {
  for (int i = 0; i < session.recipientCount; ++i) {
    if (delivery->files[i] >= 0) PlatformWriteFile(delivery->files[i], data, length);
  }
}

// Closes the files; a complete message moves to new/, an incomplete one is removed.
void CloseDelivery(const SmtpSession& session, Delivery* delivery, bool complete) {
  for (int i = 0; i < session.recipientCount; ++i) {
    if (delivery->files[i] >= 0) PlatformCloseFile(delivery->files[i]);
    if (complete) PlatformRenameFile(delivery->temporary[i], delivery->final[i]);
    else PlatformDeleteFile(delivery->temporary[i]);
  }
}

// Reads the message up to the line holding a single dot and writes it to every
// recipient. Returns 0 when the whole message was stored, -1 otherwise.
int ReceiveMessage(SmtpSession* session) {
  Delivery* delivery = static_cast<Delivery*>(PlatformAllocate(sizeof(Delivery)));
  if (delivery == nullptr) return -1;
  for (intptr_t& file : delivery->files) file = -1;
  bool stored = OpenDelivery(session, delivery) == 0;
  bool complete = false;
  bool atLineStart = true;
  char piece[4096];
  for (;;) {
    bool ended = false;
    long length = DemoReadLine(session->client, piece, sizeof piece, &ended);
    if (length < 0) break;
    const char* data = piece;
    if (atLineStart && ended && strcmp(piece, ".") == 0) {
      complete = true;
      break;
    }
    if (atLineStart && piece[0] == '.') {
      ++data;
      --length;
    }
    WriteDelivery(*session, delivery, data, static_cast<size_t>(length));
    if (ended) WriteDelivery(*session, delivery, "\n", 1);
    atLineStart = ended;
  }
  CloseDelivery(*session, delivery, complete && stored);
  PlatformFree(delivery);
  return complete && stored ? 0 : -1;
}

void ResetTransaction(SmtpSession* session) {
  session->hasSender = false;
  session->sender[0] = '\0';
  session->recipientCount = 0;
}

int TakeData(SmtpSession* session) {
  if (session->recipientCount == 0) return DemoSendLine(session->client, "503 5.5.1 No valid recipients");
  if (DemoSendLine(session->client, "354 End data with <CR><LF>.<CR><LF>") != 0) return -1;
  int stored = ReceiveMessage(session);
  ResetTransaction(session);
  return DemoSendLine(session->client, stored == 0 ? "250 2.0.0 OK: delivered" : "451 4.3.0 Message not stored");
}

// Returns 0 to go on, 1 after QUIT, -1 when the client has gone.
int AnswerSmtp(void* context, char* line) {
  SmtpSession* session = static_cast<SmtpSession*>(context);
  if (EqualsNoCase(line, "QUIT")) {
    DemoSendLine(session->client, "221 2.0.0 Bye");
    return 1;
  }
  if (StartsWithNoCase(line, "HELO ") || StartsWithNoCase(line, "EHLO ")) {
    session->greeted = true;
    ResetTransaction(session);
    char reply[300];
    snprintf(reply, sizeof reply, "250 %s", session->domain->domain);
    return DemoSendLine(session->client, reply);
  }
  if (StartsWithNoCase(line, "NOOP")) return DemoSendLine(session->client, "250 2.0.0 OK");
  if (StartsWithNoCase(line, "RSET")) {
    ResetTransaction(session);
    return DemoSendLine(session->client, "250 2.0.0 OK");
  }
  if (!session->greeted) return DemoSendLine(session->client, "503 5.5.1 Say HELO first");
  if (StartsWithNoCase(line, "MAIL FROM:")) {
    ResetTransaction(session);
    if (PathArgument(line, 10, session->sender, sizeof session->sender) != 0) {
      return DemoSendLine(session->client, "501 5.5.4 Syntax: MAIL FROM:<address>");
    }
    session->hasSender = true;
    return DemoSendLine(session->client, "250 2.1.0 OK");
  }
  if (!session->hasSender) return DemoSendLine(session->client, "503 5.5.1 Need MAIL first");
  if (StartsWithNoCase(line, "RCPT TO:")) return AddRecipient(session, line);
  if (EqualsNoCase(line, "DATA")) return TakeData(session);
  return DemoSendLine(session->client, "500 5.5.2 Command not recognised");
}

void ServeSmtpClient(DemoServer* server, DemoStream* client) {
  SmtpSession* session = static_cast<SmtpSession*>(PlatformAllocate(sizeof(SmtpSession)));
  if (session == nullptr) return;
  memset(session, 0, sizeof *session);
  session->client = client;
  session->domain = static_cast<DemoSmtpDomain*>(server->context);
  char greeting[300] = "220 ";
  AppendFormat(greeting, sizeof greeting, "%s Postwain demo SMTP server ready", session->domain->domain);
  if (DemoSendLine(client, greeting) == 0) DemoAnswerCommands(client, "500 5.5.2 Line too long", AnswerSmtp, session);
  PlatformFree(session);
}

}  // namespace

int StartDemoSmtpServer(DemoServer* server, DemoSmtpDomain* domain) {
  return StartDemoServer(server, ServeSmtpClient, domain);
}
