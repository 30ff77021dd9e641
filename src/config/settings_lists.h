// The lists Settings owns: records allocated zero-filled, appended at the end, freed whole.
#pragma once

#include <cstring>

#include "config/settings.h"
#include "platform/system.h"

// A zero-filled record, or nullptr when memory runs out.
template <typename T> T* AllocateZeroed() {
  T* record = static_cast<T*>(PlatformAllocate(sizeof(T)));
  if (record != nullptr) memset(static_cast<void*>(record), 0, sizeof(T));
  return record;
}

template <typename T> void FreeList(T*& head) {
  while (head != nullptr) {
    T* next = head->Next;
    PlatformFree(head);
    head = next;
  }
}

inline void FreeAccounts() {
  FreeList(Settings.Accounts);
  Settings.NumberOfAccounts = 0;
}
inline void FreeDeliveredToPrefixes() { FreeList(Settings.DeliveredToPrefixes); }
inline void FreeSpecialActions() { FreeList(Settings.SpecialActions); }
