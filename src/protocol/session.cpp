#include "protocol/session.h"

#include <cstring>

#include "logging/logging.h"
#include "transport/transport.h"
#include "util/text.h"

ErrorText JoinErrorText(const char* first, const char* second, const char* third, const char* fourth) {
  ErrorText error;
  CopyText(error.text, first);
  // Names and reply lines come from settings and servers: cut them, never overrun.
  for (const char* piece : {second, third, fourth}) {
    if (piece != nullptr) AppendText(error.text, piece);
  }
  return error;
}

void ReportSessionFailure(const char* server, const char* text) {
  WriteLog(server, text);
  TellUser(text);
  if (StatusCallback != nullptr) StatusCallback(text);
}

void TellUser(const char* text) {
  if (MessageCallback != nullptr) MessageCallback(text);
}

char* ComposeCommand(const char* verb, const char* argument) {
  CopyText(CommandBuffer, kCommandBufferSize, verb);
  AppendText(CommandBuffer, kCommandBufferSize, argument);
  return CommandBuffer;
}

bool IsOpenConnection(int connection) { return connection >= 0 && connection < kConnectionTableSize; }
