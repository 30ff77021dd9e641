// Socket options that tests look at or change behind the transport's back.
#pragma once

#include "platform/net.h"

bool NoDelayIsSet(PlatformSocket socket);
void SetSendBufferSize(PlatformSocket socket, int size);
