// Mail transfer: one mail check over all accounts.
#pragma once

// One mail check over every account. Returns 0, or -1 when the check ended because the
// SMTP server refused the login.
int RunMailCheck();
