#include <windows.h>
#include <winhttp.h>

#include <cstdio>

#include "platform/https.h"
#include "platform/secrets.h"
#include "util/text.h"

namespace {

constexpr size_t kWideURLSize = 2048;

struct Handles {
  HINTERNET session = nullptr;
  HINTERNET connection = nullptr;
  HINTERNET request = nullptr;
  ~Handles() {
    if (request != nullptr) WinHttpCloseHandle(request);
    if (connection != nullptr) WinHttpCloseHandle(connection);
    if (session != nullptr) WinHttpCloseHandle(session);
  }
};

void Fail(const char* what, char* reason) {
  snprintf(reason, kHttpsReasonSize, "%s (WinHTTP error %lu)", what, static_cast<unsigned long>(GetLastError()));
}

// Opens the request of an https:// address. Returns false with reason.
bool OpenRequest(const HttpsRequest& request, Handles& handles, char* reason) {
  wchar_t url[kWideURLSize];
  if (MultiByteToWideChar(CP_UTF8, 0, request.url, -1, url, kWideURLSize) == 0) {
    CopyText(reason, kHttpsReasonSize, "the address is too long");
    return false;
  }
  wchar_t host[256], path[kWideURLSize];
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof parts;
  parts.lpszHostName = host;
  parts.dwHostNameLength = 256;
  parts.lpszUrlPath = path;
  parts.dwUrlPathLength = kWideURLSize;
  if (!WinHttpCrackUrl(url, 0, 0, &parts) || parts.nScheme != INTERNET_SCHEME_HTTPS) {
    CopyText(reason, kHttpsReasonSize, "not an https:// address");
    return false;
  }
  handles.session = WinHttpOpen(L"Postwain", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                WINHTTP_NO_PROXY_BYPASS, 0);
  int milliseconds = static_cast<int>(request.timeoutSeconds * 1000);
  if (handles.session != nullptr) WinHttpSetTimeouts(handles.session, milliseconds, milliseconds, milliseconds, milliseconds);
  handles.connection = handles.session != nullptr ? WinHttpConnect(handles.session, host, parts.nPort, 0) : nullptr;
  // WINHTTP_FLAG_SECURE with no security flags relaxed: the certificate must be trusted
  // and name the host. Redirects are not followed.
  handles.request = handles.connection != nullptr
                        ? WinHttpOpenRequest(handles.connection, request.form != nullptr ? L"POST" : L"GET", path,
                                             nullptr, WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE)
                        : nullptr;
  DWORD never = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
  if (handles.request == nullptr ||
      !WinHttpSetOption(handles.request, WINHTTP_OPTION_REDIRECT_POLICY, &never, sizeof never)) {
    Fail("cannot open the request", reason);
    return false;
  }
  return true;
}

bool Exchange(const HttpsRequest& request, Handles& handles, char* reason) {
  const wchar_t* headers = request.form != nullptr
                               ? L"Accept: application/json\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                               : L"Accept: application/json\r\n";
  DWORD length = request.form != nullptr ? static_cast<DWORD>(strlen(request.form)) : 0;
  if (!WinHttpSendRequest(handles.request, headers, static_cast<DWORD>(-1L), const_cast<char*>(request.form), length,
                          length, 0) ||
      !WinHttpReceiveResponse(handles.request, nullptr)) {
    DWORD error = GetLastError();
    Fail(error == ERROR_WINHTTP_SECURE_FAILURE ? "the server's certificate is not trusted"
         : error == ERROR_WINHTTP_TIMEOUT      ? "the server did not answer in time"
                                               : "no answer",
         reason);
    return false;
  }
  return true;
}

}  // namespace

int PlatformHttpsRequest(const HttpsRequest& request, char* body, size_t size, size_t* length, char* reason) {
  *length = 0;
  if (size > 0) body[0] = '\0';
  CopyText(reason, kHttpsReasonSize, "");
  Handles handles;
  if (!OpenRequest(request, handles, reason) || !Exchange(request, handles, reason)) return -1;
  DWORD status = 0, statusSize = sizeof status;
  WinHttpQueryHeaders(handles.request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX,
                      &status, &statusSize, WINHTTP_NO_HEADER_INDEX);
  for (;;) {
    DWORD got = 0;
    DWORD room = static_cast<DWORD>(size - 1 - *length);
    if (room == 0) {
      char probe;
      if (WinHttpReadData(handles.request, &probe, 1, &got) && got == 0) break;
      WipeText(body, *length);
      *length = 0;
      snprintf(reason, kHttpsReasonSize, "the answer is longer than %zu bytes", size - 1);
      return -1;
    }
    if (!WinHttpReadData(handles.request, body + *length, room, &got)) {
      WipeText(body, *length);
      *length = 0;
      Fail("the answer was cut off", reason);
      return -1;
    }
    if (got == 0) break;
    *length += got;
    body[*length] = '\0';
  }
  return static_cast<int>(status);
}
