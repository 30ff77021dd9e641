// Process-wide state of the library: its instance directory, the shutdown flag and the
// buffers the protocol and transfer code share. Every layer may use it; it uses only the
// platform and util layers, so the start-up order (lifecycle/) stays on top.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/system.h"

constexpr size_t kModuleDirectorySize = 260;
constexpr size_t kCommandBufferSize = 16384;
constexpr size_t kReplyBufferSize = 131072;
constexpr size_t kTransferBufferSize = 16484;  // 16384 + 100
constexpr int kMessageIdSlots = 2048;
constexpr size_t kMessageIdSize = 256;

using TextCallback = int (*)(const char* text);

// Instance directory: the library's directory, or the one the postwain program hands
// over (see InitModuleDirectory). No trailing separator.
extern char ModuleDirectory[kModuleDirectorySize];
// 0 until shutdown begins, then 1; a running mail check stops at its next test of it.
extern std::atomic<int32_t> ShutdownRequested;
// 1 while one message's data and the local server's answer to it are in flight (set by
// the transfers). A stop request does not cut those waits short: the local server could
// accept the message while its POP3 copy stays, and the next check would deliver it twice.
extern std::atomic<int32_t> MessageInFlight;
// True when shutdown has begun and no message is in flight: waits on the network and
// pauses between tries then end within a moment.
bool ShutdownCutsWaits();
// Sleeps the given time in steps of half a second, and stops early once
// ShutdownCutsWaits() (the pauses between tries of a mail check).
void PauseUnlessShuttingDown(uint32_t milliseconds);

// Error texts from connection set-up and the protocol layers; by default traced as "error".
extern TextCallback StatusCallback;
// Texts for a user display; by default ignored.
extern TextCallback MessageCallback;

extern char* CommandBuffer;   // kCommandBufferSize bytes
extern char* ReplyBuffer;     // kReplyBufferSize bytes
extern char* TransferBuffer;  // kTransferBufferSize bytes
extern char* MessageIdTable[kMessageIdSlots];  // kMessageIdSize bytes each

// Computes ModuleDirectory: the directory the postwain program hands over
// (PlatformHostHome), else the library's own; run when the library is loaded.
void InitModuleDirectory();
// The instance lock in ModuleDirectory, "postwain.lock": held by a running Postwain from
// start-up to shutdown, so `postwain check` can tell whether one runs.
void InstanceLockPath(char* path, size_t size);

// Installs the callbacks and allocates CommandBuffer and ReplyBuffer. Returns 0, or -1
// when an allocation failed (nothing is left allocated).
int InitProtocolResources(TextCallback status, TextCallback message);
// Frees CommandBuffer and ReplyBuffer where they exist. Returns 0.
int FreeProtocolResources();
// Allocates TransferBuffer and the Message-ID slots. Returns 0, or -1 when an allocation
// failed (then FreeTransferResources releases what was made).
int InitTransferResources();
// Frees TransferBuffer and the Message-ID slots where they exist.
void FreeTransferResources();
