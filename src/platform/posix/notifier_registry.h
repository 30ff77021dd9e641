// Between the POSIX socket calls and the poll-based notifier: what the notifier must
// watch for each registered socket changes with what the socket calls just did.
#pragma once

// The connect was issued: report its outcome once, then watch for reads.
void NotifierExpectConnect(int socket);
// A send would have blocked: report the next chance to write, once.
void NotifierExpectWrite(int socket);
// A read found the end of the stream or an error: stop reporting reads.
void NotifierReadEnded(int socket);
// For a registered socket, leaves the close to the notifier thread and returns true;
// false when the socket is not registered and the caller closes it itself.
bool NotifierTakeOverClose(int socket);
