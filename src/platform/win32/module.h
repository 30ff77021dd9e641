// Inside the Win32 backend: the module that holds this code.
#pragma once

#include <windows.h>

// pwt.dll's own handle in the library; the program's handle where the code is linked
// into a program. The notification window's class and window belong to it.
extern HMODULE ModuleHandle;
