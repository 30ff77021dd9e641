#include <curl/curl.h>

#include <cstring>
#include <mutex>

#include "platform/https.h"
#include "platform/secrets.h"
#include "platform/system.h"
#include "util/text.h"

namespace {

struct Answer {
  char* body;
  size_t size;
  size_t length;
  bool tooLong;
};

size_t KeepBody(char* data, size_t, size_t count, void* context) {
  Answer* answer = static_cast<Answer*>(context);
  if (count >= answer->size - answer->length) {
    answer->tooLong = true;
    return 0;  // ends the transfer
  }
  memcpy(answer->body + answer->length, data, count);
  answer->length += count;
  answer->body[answer->length] = '\0';
  return count;
}

int CheckCancelled(void* context, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  bool (*cancelled)() = reinterpret_cast<bool (*)()>(context);
  return cancelled != nullptr && cancelled() ? 1 : 0;
}

// The trust store as OpenSSL programs move it; libcurl names its compiled-in bundle
// otherwise, which on Debian is the system's store.
void UseSystemTrustStore(CURL* curl, char (&file)[kPathSize], char (&directory)[kPathSize]) {
  if (PlatformGetEnvironment("SSL_CERT_FILE", file, sizeof file) == 0) curl_easy_setopt(curl, CURLOPT_CAINFO, file);
  if (PlatformGetEnvironment("SSL_CERT_DIR", directory, sizeof directory) == 0) {
    curl_easy_setopt(curl, CURLOPT_CAPATH, directory);
  }
}

void SetOptions(CURL* curl, const HttpsRequest& request, Answer* answer, curl_slist* headers, char* error) {
  curl_easy_setopt(curl, CURLOPT_URL, request.url);
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "https");
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, static_cast<long>(request.timeoutSeconds));
  curl_easy_setopt(curl, CURLOPT_USERAGENT, "Postwain");
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, KeepBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, answer);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, CheckCancelled);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, reinterpret_cast<void*>(request.cancelled));
  if (request.form != nullptr) curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.form);
}

}  // namespace

int PlatformHttpsRequest(const HttpsRequest& request, char* body, size_t size, size_t* length, char* reason) {
  static std::once_flag initialised;
  std::call_once(initialised, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  *length = 0;
  if (size > 0) body[0] = '\0';
  CopyText(reason, kHttpsReasonSize, "");
  CURL* curl = curl_easy_init();
  // No "Expect: 100-continue": it costs a round trip, and some servers never answer it.
  curl_slist* headers = curl_slist_append(nullptr, "Accept: application/json");
  curl_slist* allHeaders = headers != nullptr ? curl_slist_append(headers, "Expect:") : nullptr;
  if (curl == nullptr || allHeaders == nullptr) {
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    CopyText(reason, kHttpsReasonSize, "out of memory");
    return -1;
  }
  Answer answer{body, size, 0, false};
  char error[CURL_ERROR_SIZE] = "";
  char caFile[kPathSize], caDirectory[kPathSize];
  SetOptions(curl, request, &answer, allHeaders, error);
  UseSystemTrustStore(curl, caFile, caDirectory);
  CURLcode result = curl_easy_perform(curl);
  long status = -1;
  if (result == CURLE_OK) curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  curl_slist_free_all(allHeaders);
  curl_easy_cleanup(curl);
  if (answer.tooLong) {
    AppendFormat(reason, kHttpsReasonSize, "the answer is longer than %zu bytes", size - 1);
  } else if (result != CURLE_OK) {
    CopyText(reason, kHttpsReasonSize, error[0] != '\0' ? error : curl_easy_strerror(result));
  }
  if (result != CURLE_OK || answer.tooLong) {
    WipeText(body, answer.length);
    return -1;
  }
  *length = answer.length;
  return static_cast<int>(status);
}
