#include "process/process.h"

#include <cstring>

#include "platform/clock.h"
#include "platform/system.h"
#include "util/text.h"

char ModuleDirectory[kModuleDirectorySize];
std::atomic<int32_t> ShutdownRequested{0};
std::atomic<int32_t> MessageInFlight{0};
TextCallback StatusCallback = nullptr;
TextCallback MessageCallback = nullptr;
char* CommandBuffer = nullptr;
char* ReplyBuffer = nullptr;
char* TransferBuffer = nullptr;
char* MessageIdTable[kMessageIdSlots];

namespace {

constexpr char kInstanceLockName[] = "postwain.lock";

char* AllocateText(size_t size) {
  char* block = static_cast<char*>(PlatformAllocate(size));
  if (block != nullptr) block[0] = '\0';
  return block;
}

void FreeText(char*& block) {
  PlatformFree(block);
  block = nullptr;
}

}  // namespace

void InstanceLockPath(char* path, size_t size) {
  CopyText(path, size, ModuleDirectory);
  AppendFormat(path, size, "%c%s", kDirectorySeparator, kInstanceLockName);
}

void InitModuleDirectory() {
  if (PlatformHostHome(ModuleDirectory, sizeof ModuleDirectory) == 0) {
    size_t length = strlen(ModuleDirectory);
    // "/srv/postwain/" and "/srv/postwain" name the same instance.
    while (length > 1 && ModuleDirectory[length - 1] == kDirectorySeparator) ModuleDirectory[--length] = '\0';
    return;
  }
  if (PlatformModulePath(ModuleDirectory, sizeof ModuleDirectory) != 0) {
    ModuleDirectory[0] = '\0';
    return;
  }
  // Cut at the last separator; a name without one is used whole.
  char* last = strrchr(ModuleDirectory, kDirectorySeparator);
  if (last != nullptr) *last = '\0';
}

int InitProtocolResources(TextCallback status, TextCallback message) {
  StatusCallback = status;
  MessageCallback = message;
  CommandBuffer = AllocateText(kCommandBufferSize);
  if (CommandBuffer == nullptr) return -1;
  ReplyBuffer = AllocateText(kReplyBufferSize);
  if (ReplyBuffer == nullptr) {
    FreeText(CommandBuffer);
    return -1;
  }
  return 0;
}

int FreeProtocolResources() {
  FreeText(CommandBuffer);
  FreeText(ReplyBuffer);
  return 0;
}

int InitTransferResources() {
  TransferBuffer = AllocateText(kTransferBufferSize);
  if (TransferBuffer == nullptr) return -1;
  for (char*& slot : MessageIdTable) {
    slot = AllocateText(kMessageIdSize);
    if (slot == nullptr) return -1;
  }
  return 0;
}

void FreeTransferResources() {
  FreeText(TransferBuffer);
  for (char*& slot : MessageIdTable) FreeText(slot);
}

bool ShutdownCutsWaits() { return ShutdownRequested.load() != 0 && MessageInFlight.load() == 0; }

void PauseUnlessShuttingDown(uint32_t milliseconds) {
  constexpr uint32_t kStep = 500;
  while (milliseconds > 0 && !ShutdownCutsWaits()) {
    uint32_t step = milliseconds < kStep ? milliseconds : kStep;
    PlatformSleep(step);
    milliseconds -= step;
  }
}
