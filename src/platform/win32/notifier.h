// Inside the Win32 backend: between the socket calls and the notification window.
#pragma once

#include <winsock.h>

// While the window exists, stops the socket's notifications and leaves its close to the
// window, which closes it after every notification already queued for it; returns true.
// Returns false when there is no window and the caller closes the socket itself.
bool NotifierTakeOverClose(SOCKET socket);
