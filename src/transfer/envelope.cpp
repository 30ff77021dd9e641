#include "config/settings.h"
#include "transfer/transfer.h"
#include "util/text.h"

int BuildDefaultSender(const Account* account, char* out, size_t size) {
  int result;
  if (Settings.DefaultFromAddress[0] != '\0') {
    result = CopyText(out, size, Settings.DefaultFromAddress);
  } else {
    bool ownDomain = account != nullptr && account->Domain[0] != '\0' && account->TranslateUserAccounts == 0;
    CopyText(out, size, "postmaster@");
    result = AppendText(out, size, ownDomain ? account->Domain : Settings.SMTPDomain);
  }
  if (result == 0) return 0;
  // A cut address would send the mail as somebody else.
  if (size > 0) out[0] = '\0';
  return -1;
}

int BeginsWithEnvelopeLine(const char* data, int length) {
  if (length < 5) return 0;
  char head[6];
  CopyTextN(head, sizeof head, data, 5);
  return StartsWithNoCase(head, "from ") ? 1 : 0;
}
