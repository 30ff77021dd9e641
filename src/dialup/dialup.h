// Dial-up networking before a mail check, through a remote access library bound at run time.
#pragma once

#include "lifecycle/lifecycle.h"

// A connection to the entry was already up before this process dialled.
constexpr int DialUpInUse = -400;

// Dials entryName. Returns 0 (dialled now, or nothing to dial), DialUpInUse, or -1
// (failed, already logged). Absent callbacks are not called.
int DialUpConnect(const char* entryName, const char* userName, const char* password, TextCallback statusCallback,
                  TextCallback messageCallback);
// Hangs up what this process dialled. Returns 0.
int DialUpHangUp();
