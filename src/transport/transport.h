// Network transport: the socket notifier, the connection table, open, close, send, receive.
#pragma once

// Starts the socket layer and the notification thread. Returns 0 or -1.
int TransportStartUp();
// Stops the notification thread and the socket layer. Returns 0.
int TransportShutdown();
