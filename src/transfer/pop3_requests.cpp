// POP3 requests in flight, where the server pipelines: the next RETRs go out while a
// message is delivered, and each DELE as soon as its message's 250 has come, in one write
// with the next RETRs. Replies are read strictly in the order of the requests.
#include <cstdint>
#include <cstring>

#include "logging/logging.h"
#include "protocol/protocol.h"
#include "transfer/journal.h"
#include "transfer/transfer.h"
#include "transport/transport.h"
#include "util/text.h"

namespace {

enum class Verb : uint8_t { kRetr, kDele };

struct Request {
  Verb verb;
  int number;
};

// RETRs in flight ahead of the message being delivered: a local server takes a few
// milliseconds per message, so 32 keep a link of 50 to 200 ms round trip busy (16 left a
// 50 ms link idle between batches; 64 gained nothing more), few enough that a failure,
// which reads them through before QUIT, costs little. Their bytes are bounded by the
// transport, which stops reading above its high mark: a large message read ahead waits at
// the server, never whole in memory.
constexpr int kRetrievalsAhead = 32;
// A DELE waits behind the RETRs sent before it, so there are never more DELEs than RETRs.
constexpr int kMaxRequests = 2 * kRetrievalsAhead + 1;
// "RETR " or "DELE ", a number and CR LF.
constexpr int kRequestSize = 24;

struct Requests {
  const Account* account;
  bool pipelined;
  int lastNumber;     // the login's count
  int nextRetrieval;  // the next message to ask for
  Request queue[kMaxRequests];
  int oldest;
  int size;
  int retrievals;        // RETRs in the queue
  int deletionsRefused;  // DELEs refused after their message was counted deleted
};
Requests InFlight;

void ForgetRequests() {
  InFlight.oldest = InFlight.size = InFlight.retrievals = 0;
}

void Push(Verb verb, int number) {
  InFlight.queue[(InFlight.oldest + InFlight.size++) % kMaxRequests] = Request{verb, number};
  if (verb == Verb::kRetr) ++InFlight.retrievals;
}

Request Pop() {
  Request request = InFlight.queue[InFlight.oldest];
  InFlight.oldest = (InFlight.oldest + 1) % kMaxRequests;
  --InFlight.size;
  if (request.verb == Verb::kRetr) --InFlight.retrievals;
  return request;
}

bool RetrievalInFlight(int number) {
  for (int index = 0; index < InFlight.size; ++index) {
    const Request& request = InFlight.queue[(InFlight.oldest + index) % kMaxRequests];
    if (request.verb == Verb::kRetr && request.number == number) return true;
  }
  return false;
}

void AddRequest(char* batch, size_t size, Verb verb, int number) {
  char line[kRequestSize] = "";
  AppendFormat(line, sizeof line, "%s %d", verb == Verb::kRetr ? "RETR" : "DELE", number);
  WriteTrace("POP3>>", line);
  AppendText(batch, size, line);
  AppendText(batch, size, "\r\n");
  Push(verb, number);
}

// Sends the DELE of deletion (0: none), the RETR of retrieval (0: none) and RETRs of
// the next messages up to kRetrievalsAhead in flight, in one write. Those stop before a
// message the journal knows: that one needs no transfer, or none yet. Returns 0, or -1
// when the write failed (the login is ended).
int SendRequests(int deletion, int retrieval) {
  char batch[(kRetrievalsAhead + 1) * kRequestSize] = "";
  if (deletion > 0) AddRequest(batch, sizeof batch, Verb::kDele, deletion);
  if (retrieval > 0) {
    AddRequest(batch, sizeof batch, Verb::kRetr, retrieval);
    InFlight.nextRetrieval = retrieval + 1;
  }
  while (InFlight.retrievals < kRetrievalsAhead && InFlight.nextRetrieval <= InFlight.lastNumber &&
         JournalMarkOf(InFlight.nextRetrieval) == JournalMark::kNone) {
    AddRequest(batch, sizeof batch, Verb::kRetr, InFlight.nextRetrieval++);
  }
  int length = static_cast<int>(strnlen(batch, sizeof batch));
  if (length == 0 || SendAll(POP3Connection, batch, length) == length) return 0;
  ForgetRequests();
  LosePOP3Step(InFlight.account);
  return -1;
}

// Reads the reply to the oldest request and settles it: a DELE is judged as if sent
// alone; a RETR nobody waits for any more is read through. Returns 0, or -1 when the
// login was lost.
int SettleOldest() {
  Request request = Pop();
  const char* reply = ReadLine(POP3Connection);
  if (reply != nullptr) WriteTrace("<<POP3", reply);
  if (request.verb == Verb::kDele) {
    // Refused, it stays; lost with the login, it goes at the next login (the journal).
    if (JudgeDeletion(InFlight.account, request.number, reply) != 0 && POP3Connection != kNoConnection) {
      ++InFlight.deletionsRefused;
    }
  } else if (reply == nullptr) {
    LosePOP3Step(InFlight.account);
  } else if (CheckPOP3Reply(reply) == 0) {
    Retrieval unwanted{InFlight.account, true};
    StartMessageData();
    FinishRetrieval(unwanted);
  }
  if (POP3Connection != kNoConnection) return 0;
  ForgetRequests();
  return -1;
}

}  // namespace

void BeginPOP3Requests(const Account* account, bool pipelined, int count) {
  InFlight.account = account;
  InFlight.pipelined = pipelined;
  InFlight.lastNumber = count;
  InFlight.deletionsRefused = 0;
  ForgetRequests();
}

int SettleRequestsBefore(int number) {
  bool wanted = RetrievalInFlight(number);
  while (InFlight.size > 0) {
    if (POP3Connection == kNoConnection) {
      ForgetRequests();
      return -1;
    }
    const Request& oldest = InFlight.queue[InFlight.oldest];
    if (wanted && oldest.verb == Verb::kRetr && oldest.number == number) return 0;
    if (SettleOldest() != 0) return -1;
  }
  return 0;
}

const char* RequestRetrieval(int number) {
  if (!InFlight.pipelined) {
    ComposeNumberedCommand("RETR", number);
    return POP3Exchange(TransferBuffer);
  }
  if (SettleRequestsBefore(number) != 0) return nullptr;
  if (InFlight.size == 0 && SendRequests(0, number) != 0) return nullptr;
  Pop();
  const char* reply = ReadLine(POP3Connection);
  if (reply != nullptr) WriteTrace("<<POP3", reply);
  return reply;
}

int RequestDeletion(const Account* account, int number) {
  if (!InFlight.pipelined) return DeleteRemoteMessage(account, number);
  return SendRequests(number, 0);
}

bool RepliesInFlight() { return InFlight.size > 0; }

int EndPOP3Requests() {
  if (InFlight.retrievals > 0 && ShutdownRequested.load() != 0) {
    // Nothing is committed without QUIT, and the journal deletes at the next login what
    // was delivered: a stop need not wait for messages nobody will deliver.
    POP3Abandon();
    ForgetRequests();
  }
  SettleRequestsBefore(0);
  InFlight.pipelined = false;
  return InFlight.deletionsRefused;
}
