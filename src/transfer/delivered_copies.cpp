#include "transfer/delivered_copies.h"

#include <cstring>

#include "process/process.h"
#include "platform/system.h"
#include "transfer/transfer.h"
#include "util/text.h"

namespace {

// One recipient of one identifier; the address is kept whole, however long, since a cut
// one could stand for another recipient and make her copy look delivered.
struct CopyRecord {
  int slot;  // MessageIdTable's slot; -1 while only noted
  CopyRecord* next;
  char recipient[1];  // as long as the address
};

CopyRecord* Copies = nullptr;  // kept, newest first
CopyRecord* Noted = nullptr;   // of the message being delivered

void FreeRecords(CopyRecord*& list) {
  while (list != nullptr) {
    CopyRecord* next = list->next;
    PlatformFree(list);
    list = next;
  }
}

// Slots 0..2045 are searched; once 2046 are in use, each new identifier lands in slot
// 2046, which is never searched.
int StoreIdentifier(const char* identifier) {
  int slot = MessageIdCount;
  CopyText(MessageIdTable[slot], kMessageIdSize, identifier);
  if (MessageIdCount + 2 < kMessageIdSlots) ++MessageIdCount;
  return slot;
}

}  // namespace

void ForgetDeliveredCopies() {
  FreeRecords(Copies);
  FreeRecords(Noted);
}

int KnownIdentifierSlot(const char* identifier) {
  for (int slot = 0; slot < MessageIdCount; ++slot) {
    if (strcmp(MessageIdTable[slot], identifier) == 0) return slot;
  }
  return -1;
}

bool HasDeliveredCopy(int slot, const char* recipient) {
  if (slot < 0) return false;
  for (const CopyRecord* copy = Copies; copy != nullptr; copy = copy->next) {
    if (copy->slot == slot && EqualsNoCase(copy->recipient, recipient)) return true;
  }
  return false;
}

void NoteCopyRecipient(const char* recipient) {
  size_t length = strlen(recipient);
  auto* copy = static_cast<CopyRecord*>(PlatformAllocate(sizeof(CopyRecord) + length));
  // Out of memory: the recipient is not remembered, so a later copy reaches her again
  // rather than never.
  if (copy == nullptr) return;
  copy->slot = -1;
  copy->next = Noted;
  memcpy(copy->recipient, recipient, length + 1);
  Noted = copy;
}

void KeepDeliveredCopies(const char* identifier) {
  if (identifier == nullptr || identifier[0] == '\0') {
    FreeRecords(Noted);
    return;
  }
  int slot = KnownIdentifierSlot(identifier);
  if (slot < 0) slot = StoreIdentifier(identifier);
  while (Noted != nullptr) {
    CopyRecord* copy = Noted;
    Noted = copy->next;
    copy->slot = slot;
    copy->next = Copies;
    Copies = copy;
  }
}

void DropNotedCopies() { FreeRecords(Noted); }
