// The socket notifier on Windows: Winsock posts every socket event as message 1124 to a
// hidden window of the notification thread, whose procedure hands (socket, event, error)
// to the transport.
#include <windows.h>
#include <winsock.h>

#include "platform/net.h"
#include "platform/win32/module.h"
#include "platform/win32/notifier.h"

struct PlatformNotifier {
  HWND window;
  SocketEventHandler handler;
};

namespace {

constexpr UINT kSocketNotifyMessage = WM_USER + 100;  // 1124
// A socket to close once every notification queued before it has been handled.
constexpr UINT kCloseSocketMessage = WM_USER + 101;
// A socket whose reads resume: handed to the transport as a read.
constexpr UINT kResumeReadingMessage = WM_USER + 102;
constexpr long kSocketEvents = FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE;  // 51
constexpr char kWindowClassName[] = "HarrowbyTCPIPNotificationClass";

static_assert(kSocketNotifyMessage == 1124 && kSocketEvents == 51 && WM_CLOSE == 16);

// One notifier per process, as there is one notification window.
PlatformNotifier theNotifier{};
// Guards theNotifier.window between the threads that hand sockets over for closing and
// the notification thread that takes the window down.
SRWLOCK windowLock = SRWLOCK_INIT;

LRESULT CALLBACK NotificationWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CLOSE:
      // The thread destroys the window after its loop.
      PostQuitMessage(0);
      return 0;
    case kSocketNotifyMessage:
      theNotifier.handler(static_cast<PlatformSocket>(wParam), WSAGETSELECTEVENT(lParam), WSAGETSELECTERROR(lParam));
      return 0;
    case kCloseSocketMessage:
      closesocket(static_cast<SOCKET>(wParam));
      return 0;
    case kResumeReadingMessage:
      theNotifier.handler(static_cast<PlatformSocket>(wParam), FD_READ, 0);
      return 0;
    default:
      return DefWindowProcA(window, message, wParam, lParam);
  }
}

HWND CreateNotificationWindow(HWND parent) {
  return CreateWindowExA(0, kWindowClassName, "", 0, 0, 0, 1, 1, parent, nullptr, ModuleHandle, nullptr);
}

}  // namespace

PlatformNotifier* PlatformCreateNotifier() {
  WNDCLASSA windowClass{};
  windowClass.lpfnWndProc = NotificationWindowProc;
  windowClass.hInstance = ModuleHandle;
  windowClass.hIcon = LoadIconA(nullptr, IDI_APPLICATION);
  windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
  windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(GRAY_BRUSH));
  windowClass.lpszMenuName = "";
  windowClass.lpszClassName = kWindowClassName;
  if (RegisterClassA(&windowClass) == 0) return nullptr;
  // The hidden top-level window; where there is no desktop for one (a service without
  // one, Wine without a display) a message-only window, just as hidden, gets the same
  // messages.
  HWND window = CreateNotificationWindow(nullptr);
  if (window == nullptr) window = CreateNotificationWindow(HWND_MESSAGE);
  if (window == nullptr) {
    UnregisterClassA(kWindowClassName, ModuleHandle);
    return nullptr;
  }
  AcquireSRWLockExclusive(&windowLock);
  theNotifier.window = window;
  ReleaseSRWLockExclusive(&windowLock);
  return &theNotifier;
}

void PlatformRunNotifier(PlatformNotifier* notifier, SocketEventHandler handler) {
  notifier->handler = handler;
  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
}

void PlatformStopNotifier(PlatformNotifier* notifier) { PostMessageA(notifier->window, WM_CLOSE, 0, 0); }

void PlatformDestroyNotifier(PlatformNotifier* notifier) {
  AcquireSRWLockExclusive(&windowLock);
  HWND window = notifier->window;
  notifier->window = nullptr;
  ReleaseSRWLockExclusive(&windowLock);
  // Sockets handed over after the loop ended are closed here.
  MSG message;
  while (PeekMessageA(&message, window, kCloseSocketMessage, kCloseSocketMessage, PM_REMOVE)) {
    closesocket(static_cast<SOCKET>(message.wParam));
  }
  DestroyWindow(window);
  UnregisterClassA(kWindowClassName, ModuleHandle);
}

// Registering also makes the socket non-blocking.
int PlatformRegisterSocket(PlatformNotifier* notifier, PlatformSocket socket) {
  return WSAAsyncSelect(static_cast<SOCKET>(socket), notifier->window, kSocketNotifyMessage, kSocketEvents) == 0 ? 0
                                                                                                                 : -1;
}

// Winsock posts no new FD_READ for a socket until recv is called on it again; the
// transport calls it no more while paused, so nothing needs to change here.
void PlatformPauseReading(PlatformNotifier*, PlatformSocket) {}

// The read handed over calls recv, which has Winsock post FD_READ again while bytes wait.
void PlatformResumeReading(PlatformNotifier* notifier, PlatformSocket socket) {
  AcquireSRWLockShared(&windowLock);
  if (notifier->window != nullptr) PostMessageA(notifier->window, kResumeReadingMessage, socket, 0);
  ReleaseSRWLockShared(&windowLock);
}

// Notifications already queued for the socket come before the close request, so they are
// handled (and dropped, as the socket is in no slot) while its number is still taken: no
// event of it reaches a newer socket that gets the same number.
bool NotifierTakeOverClose(SOCKET socket) {
  AcquireSRWLockShared(&windowLock);
  bool handedOver = theNotifier.window != nullptr && WSAAsyncSelect(socket, theNotifier.window, 0, 0) == 0 &&
                    PostMessageA(theNotifier.window, kCloseSocketMessage, socket, 0);
  ReleaseSRWLockShared(&windowLock);
  return handedOver;
}
