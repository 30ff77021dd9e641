#include "platform/files.h"
#include "platform/net.h"
#include "platform/system.h"
#include "host/demo/pop3_server.h"

#include <cstdio>
#include <cstring>

#include "util/text.h"

namespace {

constexpr int kMaxMessages = 200;

struct Pop3Message {
  char name[kPathSize];
  long octets;  // the size with CR LF line ends, as STAT, LIST and RETR announce it
  bool deleted;
};

struct Pop3Session {
  DemoStream* client;
  const DemoPop3Mailboxes* mailboxes;
  const DemoMailbox* mailbox;  // after a good PASS
  char user[64];
  Pop3Message messages[kMaxMessages];
  int count;
};

void MessagePath(const Pop3Session& session, const Pop3Message& message, char* path, size_t size) {
  CopyText(path, size, session.mailbox->directory);
  AppendFormat(path, size, "%c%s", kDirectorySeparator, message.name);
}

// Every LF that does not follow a CR becomes CR LF on the wire.
long WireOctets(const char* content, long length) {
  long octets = length;
  for (long i = 0; i < length; ++i) {
    if (content[i] == '\n' && (i == 0 || content[i - 1] != '\r')) ++octets;
  }
  if (length > 0 && content[length - 1] != '\n') octets += 2;
  return octets;
}

void AddMessage(const char* name, void* context) {
  Pop3Session* session = static_cast<Pop3Session*>(context);
  if (session->count == kMaxMessages) return;
  Pop3Message& message = session->messages[session->count];
  CopyText(message.name, name);
  message.deleted = false;
  char path[kPathSize];
  MessagePath(*session, message, path, sizeof path);
  char* content = nullptr;
  long length = PlatformReadWholeFile(path, &content);
  if (length < 0) return;
  message.octets = WireOctets(content, length);
  PlatformFree(content);
  ++session->count;
}

const DemoMailbox* FindMailbox(const DemoPop3Mailboxes& mailboxes, const char* user, const char* password) {
  for (int i = 0; i < mailboxes.count; ++i) {
    const DemoMailbox& mailbox = mailboxes.mailboxes[i];
    if (strcmp(mailbox.user, user) == 0 && strcmp(mailbox.password, password) == 0) return &mailbox;
  }
  return nullptr;
}

// The message a command's argument names, or nullptr for anything but the number of a
// message that is not deleted.
Pop3Message* FindMessage(Pop3Session* session, const char* argument) {
  if (argument[0] < '1' || argument[0] > '9') return nullptr;
  long number = 0;
  for (const char* digit = argument; *digit != '\0'; ++digit) {
    if (*digit < '0' || *digit > '9' || number > kMaxMessages) return nullptr;
    number = number * 10 + (*digit - '0');
  }
  if (number > session->count) return nullptr;
  Pop3Message* message = &session->messages[number - 1];
  return message->deleted ? nullptr : message;
}

// Sends buffered bytes once the block is full or the message is over.
struct WireBlock {
  DemoStream* client;
  char bytes[4096];
  size_t used;
  bool failed;
};

void Flush(WireBlock* block) {
  if (!block->failed && block->used > 0) {
    block->failed = PlatformSendStream(block->client->handle, block->bytes, block->used) < 0;
  }
  block->used = 0;
}

void Put(WireBlock* block, const char* data, size_t length) {
  while (length > 0 && !block->failed) {
    size_t piece = sizeof block->bytes - block->used;
    if (piece > length) piece = length;
    memcpy(block->bytes + block->used, data, piece);
    block->used += piece;
    data += piece;
    length -= piece;
    if (block->used == sizeof block->bytes) Flush(block);
  }
}

// The message as a multi-line response: CR LF line ends, a leading dot doubled, and the
// closing line of a single dot.
int SendMessage(Pop3Session* session, const Pop3Message& message) {
  char path[kPathSize];
  MessagePath(*session, message, path, sizeof path);
  char* content = nullptr;
  long length = PlatformReadWholeFile(path, &content);
  if (length < 0) return DemoSendLine(session->client, "-ERR the message cannot be read");
  char status[64];
  snprintf(status, sizeof status, "+OK %ld octets", message.octets);
  int result = DemoSendLine(session->client, status);
  WireBlock block{session->client, {}, 0, result != 0};
  long lineStart = 0;
  while (lineStart < length) {
    const char* line = content + lineStart;
    const char* lineFeed = static_cast<const char*>(memchr(line, '\n', static_cast<size_t>(length - lineStart)));
    long lineLength = lineFeed == nullptr ? length - lineStart : lineFeed - line;
    lineStart += lineLength + 1;
    if (lineLength > 0 && line[lineLength - 1] == '\r') --lineLength;
    if (line[0] == '.') Put(&block, ".", 1);
    Put(&block, line, static_cast<size_t>(lineLength));
    Put(&block, "\r\n", 2);
  }
  Put(&block, ".\r\n", 3);
  Flush(&block);
  PlatformFree(content);
  return block.failed ? -1 : 0;
}

int SendListing(Pop3Session* session, const char* argument, bool uniqueIds) {
  char line[kPathSize + 32];
  if (argument[0] != '\0') {
    Pop3Message* message = FindMessage(session, argument);
    if (message == nullptr) return DemoSendLine(session->client, "-ERR no such message");
    if (uniqueIds) {
      snprintf(line, sizeof line, "+OK %s %s", argument, message->name);
    } else {
      snprintf(line, sizeof line, "+OK %s %ld", argument, message->octets);
    }
    return DemoSendLine(session->client, line);
  }
  if (DemoSendLine(session->client, "+OK") != 0) return -1;
  for (int i = 0; i < session->count; ++i) {
    const Pop3Message& message = session->messages[i];
    if (message.deleted) continue;
    if (uniqueIds) {
      snprintf(line, sizeof line, "%d %s", i + 1, message.name);
    } else {
      snprintf(line, sizeof line, "%d %ld", i + 1, message.octets);
    }
    if (DemoSendLine(session->client, line) != 0) return -1;
  }
  return DemoSendLine(session->client, ".");
}

int SendStatus(Pop3Session* session) {
  int count = 0;
  long octets = 0;
  for (int i = 0; i < session->count; ++i) {
    if (session->messages[i].deleted) continue;
    ++count;
    octets += session->messages[i].octets;
  }
  char line[64];
  snprintf(line, sizeof line, "+OK %d %ld", count, octets);
  return DemoSendLine(session->client, line);
}

int RemoveDeletedMessages(Pop3Session* session) {
  int failures = 0;
  for (int i = 0; i < session->count; ++i) {
    if (!session->messages[i].deleted) continue;
    char path[kPathSize];
    MessagePath(*session, session->messages[i], path, sizeof path);
    if (PlatformDeleteFile(path) != 0) ++failures;
  }
  return DemoSendLine(session->client, failures == 0 ? "+OK bye" : "-ERR some deleted messages were not removed");
}

// USER and PASS. Returns 0 to go on, -1 when the session is over.
int Authorize(Pop3Session* session, const char* verb, const char* argument) {
  if (EqualsNoCase(verb, "USER")) {
    CopyText(session->user, argument);
    return DemoSendLine(session->client, "+OK send PASS");
  }
  if (EqualsNoCase(verb, "PASS")) {
    session->mailbox = FindMailbox(*session->mailboxes, session->user, argument);
    if (session->mailbox == nullptr) return DemoSendLine(session->client, "-ERR wrong user name or password");
    session->count = 0;
    if (PlatformListFiles(session->mailbox->directory, AddMessage, session) < 0) {
      session->mailbox = nullptr;
      return DemoSendLine(session->client, "-ERR the mailbox cannot be opened");
    }
    return DemoSendLine(session->client, "+OK mailbox locked and ready");
  }
  return DemoSendLine(session->client, "-ERR log in with USER and PASS first");
}

// A command after a good PASS. Returns 0 to go on, -1 when the client has gone.
int Transact(Pop3Session* session, const char* verb, const char* argument) {
  if (EqualsNoCase(verb, "STAT")) return SendStatus(session);
  if (EqualsNoCase(verb, "LIST")) return SendListing(session, argument, false);
  if (EqualsNoCase(verb, "UIDL")) return SendListing(session, argument, true);
  if (EqualsNoCase(verb, "NOOP")) return DemoSendLine(session->client, "+OK");
  if (EqualsNoCase(verb, "RETR") || EqualsNoCase(verb, "DELE")) {
    Pop3Message* message = FindMessage(session, argument);
    if (message == nullptr) return DemoSendLine(session->client, "-ERR no such message");
    if (EqualsNoCase(verb, "RETR")) return SendMessage(session, *message);
    message->deleted = true;
    return DemoSendLine(session->client, "+OK message deleted");
  }
  if (EqualsNoCase(verb, "RSET")) {
    for (int i = 0; i < session->count; ++i) session->messages[i].deleted = false;
    return SendStatus(session);
  }
  return DemoSendLine(session->client, "-ERR unknown command");
}

// Returns 0 to go on, 1 after QUIT, -1 when the client has gone.
int AnswerPop3(void* context, char* line) {
  Pop3Session* session = static_cast<Pop3Session*>(context);
  // The verb, and its argument (empty when there is none).
  char* argument = line + strcspn(line, " ");
  if (*argument == ' ') *argument++ = '\0';
  if (EqualsNoCase(line, "QUIT")) {
    // Deletions take effect only when a logged-in client says goodbye.
    if (session->mailbox == nullptr) DemoSendLine(session->client, "+OK bye");
    if (session->mailbox != nullptr) RemoveDeletedMessages(session);
    return 1;
  }
  return session->mailbox == nullptr ? Authorize(session, line, argument) : Transact(session, line, argument);
}

void ServePop3Client(DemoServer* server, DemoStream* client) {
  Pop3Session* session = static_cast<Pop3Session*>(PlatformAllocate(sizeof(Pop3Session)));
  if (session == nullptr) return;
  memset(session, 0, sizeof *session);
  session->client = client;
  session->mailboxes = static_cast<const DemoPop3Mailboxes*>(server->context);
  if (DemoSendLine(client, "+OK Postwain demo POP3 server ready") == 0) {
    DemoAnswerCommands(client, "-ERR line too long", AnswerPop3, session);
  }
  PlatformFree(session);
}

}  // namespace

int StartDemoPop3Server(DemoServer* server, DemoPop3Mailboxes* mailboxes) {
  return StartDemoServer(server, ServePop3Client, mailboxes);
}
