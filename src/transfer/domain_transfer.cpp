#include "logging/logging.h"
#include "transfer/transfer.h"

// Stand-in until domain mailboxes are served: the message is left alone on the server.
int TransferDomainMessage(const Account* account, int) {
  WriteLog(account->ServerName, "ERROR - Domain mailboxes are not served by this build");
  return -1;
}
