// The built-in OAuth 2.0 token lifecycle of an account with OAuthProvider set: the
// provider's endpoints, the tokens kept in the instance directory, their refresh before
// each login, and the sign-in of `postwain oauth login`. No token ever reaches the daily
// log or the trace; the buffers that held one are wiped before they are freed.
#pragma once

#include <cstddef>
#include <cstdint>

#include "config/settings.h"
#include "oauth/oauth.h"

// An access token that expires within this many seconds is refreshed before a login.
constexpr int64_t kRefreshMargin = 300;
constexpr size_t kOAuthErrorSize = 512;

// Where the account's provider signs in and hands out tokens.
struct OAuthEndpoints {
  char DeviceCodeURL[kOAuthURLSize];  // empty: no device-code flow
  char TokenURL[kOAuthURLSize];
  char AuthorizeURL[kOAuthURLSize];  // empty: no loopback-redirect flow
  char Scope[1024];
};
// Microsoft's endpoints of OAuthTenant ("common" when empty), Google's, or the account's
// own for Custom; OAuthScope, or the provider's default when it is empty.
void OAuthProviderEndpoints(const Account& account, OAuthEndpoints* endpoints);

// What is kept of an account's sign-in, in the instance directory.
struct OAuthTokens {
  char RefreshToken[kAccessTokenSize];
  char AccessToken[kAccessTokenSize];
  int64_t AccessTokenExpires;  // seconds since 1970 (UTC)
  int32_t SignInExpired;       // 1 once the provider refused the refresh token for good
};

// The file of the account's tokens: "oauth-" and 16 hex digits computed from its user,
// server and port, in the instance directory. Returns 0, or -1 when it does not fit.
int OAuthTokenPath(const Account& account, char* path, size_t size);
// Returns 0, kPlatformMissing (never signed in) or -1 (unreadable or damaged).
int LoadOAuthTokens(const Account& account, OAuthTokens* tokens);
// Replaces the stored tokens, readable by this user alone. Returns 0, or -1.
int SaveOAuthTokens(const Account& account, const OAuthTokens& tokens);

// Holds the account's token lock, so that one refresh or sign-in at a time uses and
// replaces its refresh token, in this process or another. Waits at most waitSeconds.
// Returns a lock handle >= 0, or -1.
intptr_t LockOAuthTokens(const Account& account, uint32_t waitSeconds);
void UnlockOAuthTokens(intptr_t lock);

// Results of RequestTokens besides 0 (tokens granted).
constexpr int kTokenRefused = 1;  // the provider answered with an error code (error->code)
constexpr int kTokenFailed = -1;  // no usable answer (error->text says why)
struct TokenError {
  char code[64];                // "invalid_grant", "authorization_pending", ...
  char text[kOAuthErrorSize];   // for a person: the code and the provider's description
};
// Posts form to a token or device-code endpoint and reads the JSON answer into answer
// (size bytes, a block the caller wipes). Returns the HTTP status, or kTokenFailed.
int PostToProvider(const char* url, const char* form, char* answer, size_t size, size_t* length, TokenError* error);
// The provider's words for a refused request into error: the JSON answer's "error" and
// "error_description" ("invalid_grant: AADSTS70000 ...").
void DescribeRefusal(const char* answer, size_t length, int status, TokenError* error);
// Posts a grant to the token endpoint. Granted: tokens gets the access token and its
// expiry, and the refresh token when the answer has one (a provider that does not rotate
// it sends none: the one there stays). Returns 0, kTokenRefused or kTokenFailed.
int RequestTokens(const char* tokenURL, const char* form, OAuthTokens* tokens, TokenError* error);

// Appends "&name=value" ("name=value" to an empty form), the value percent-encoded, for
// each field. Returns 0, or -1 when they did not fit (the form is then unusable).
struct FormField {
  const char* name;
  const char* value;
};
int AppendFormField(char* form, size_t size, const char* name, const char* value);
int AppendFormFields(char* form, size_t size, const FormField* fields, size_t count);
// The client's own fields of every token request: client_id, and client_secret when set.
int AppendClientFields(char* form, size_t size, const Account& account);

// The lifecycle before each login (OAuthAccessToken for an account with OAuthProvider):
// the stored access token, refreshed first when it expires within kRefreshMargin seconds
// or forceRefresh is set. Returns 0 with the token, or -1 after an error line in the
// daily log; after invalid_grant no request is made until `postwain oauth login`.
int ProviderAccessToken(const Account& account, int accountNumber, bool forceRefresh, char* token, size_t size);

// `postwain oauth login`: signs the account in through its provider's flow, saying each
// step to the user through say (problem: an error, the command fails), and stores the
// tokens. Returns 0, or -1 after saying why.
int OAuthSignIn(const Account& account, int accountNumber, void (*say)(const char* text, bool problem));
