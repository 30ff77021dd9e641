// OAuth 2.0 access tokens for the POP3 logins of accounts with Authentication=XOAUTH2 or
// OAUTHBEARER. Beside protocol/, which calls it; it uses config/, logging/, process/,
// platform/ and util/ only.
#pragma once

#include <cstddef>

#include "config/settings.h"

// Access tokens of real providers are one to three thousand characters; this leaves
// room for any we know of.
constexpr size_t kAccessTokenSize = 8192;

// The access token for the account (accountNumber: N of its [AccountN]), written into
// token (size bytes). With OAuthProvider set, the built-in lifecycle (oauth/lifecycle.h):
// the stored token, refreshed first when it expires within 5 minutes or forceRefresh is
// set; its lines: "Access token for account N refreshed.", "ERROR - No sign-in for account
// N: run `postwain oauth login --account N`", "ERROR - Sign-in for account N has expired:
// run `postwain oauth login --account N`" (then no request until the next sign-in),
// "ERROR - Token refresh for account N failed: <why>", "ERROR - Cannot store the tokens of
// account N in <path>". Otherwise, with OAuthTokenCommand set, the command's first output line, run
// anew for every call (the helper keeps its tokens itself). forceRefresh asks for a
// token other than the one the server just refused.
// Returns 0 with the token, or -1 with the reason already in the daily log (source: the
// account's), one of:
//   "ERROR - Account N signs in with OAuth but has no OAuthTokenCommand."
//   "ERROR - OAuthTokenCommand of account N could not be started."
//   "ERROR - OAuthTokenCommand of account N did not finish within T seconds; it was stopped."
//   "ERROR - OAuthTokenCommand of account N failed with exit code X."
//   "ERROR - OAuthTokenCommand of account N was ended by a signal."
//   "ERROR - OAuthTokenCommand of account N printed no token."
//   "ERROR - OAuthTokenCommand of account N printed a line that is no access token."
// The token itself never reaches the daily log or the trace.
int OAuthAccessToken(const Account* account, int accountNumber, bool forceRefresh, char* token, size_t size);
