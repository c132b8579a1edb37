// OAuth2 for the relay login, done by sendal itself: an account authorised once by a person
// (the device grant, or the authorisation code with PKCE and a redirect to 127.0.0.1), its
// tokens kept like a secret in the user's state folder, the access token refreshed before it
// expires, and a word for the person when only they can help.
#pragma once

#include <cstdint>
#include <string>

#include "base/runoptions.h"

namespace sendal {

// The tokens of one account, as its token file keeps them.
struct Tokens {
    std::string refresh, access;
    std::int64_t expiresAt = 0;  // seconds since 1970
};

// Overwrites the tokens' memory before it is let go.
void WipeTokens(Tokens& tokens);

// The settings with the provider's endpoints and scope where the account names none.
OAuth2Settings WithPreset(const OAuth2Settings& settings);

// $XDG_STATE_HOME/sendal/oauth2/<account>.json
std::string TokenFilePath(const std::string& account);

// 0 with `tokens`, 1 when there is no file, -1 with `why` (not the user's own, open to others,
// a link, not a token file).
int LoadTokens(const std::string& account, Tokens& tokens, std::string& why);

// Written under a temporary name (mode 0600) and renamed. 0, or -1 with `why`.
int SaveTokens(const std::string& account, const Tokens& tokens, std::string& why);

// A token grant's answer read into `tokens` (a new refresh token where the server rotates
// it). 0; -1 with `why` (the server's error and its description, or what is wrong with the
// answer) and `needsPerson` for a grant only a person can renew (invalid_grant).
int TakeTokenAnswer(long status, const std::string& body, Tokens& tokens, std::string& why, bool& needsPerson);

// The access token of `account` for a login, refreshed first when it expires within five
// minutes or `force` asks (a relay refused it while it was fresh). 0 with `token`; -1 after
// the log says why: "Login needs a person: run sendal --authorize NAME (why)!" (77) when a
// person must authorise again, else the token endpoint's failure (75).
int AccessTokenFor(const RunOptions& options, bool force, std::string& token);

// Whether this process logs in with an access token from the token file, and whether it
// refreshed that token itself (a relay that refuses a token just refreshed is not asked again).
bool TokenFromStore();
bool TokenRefreshedThisRun();

// sendal --authorize NAME: the flow of the account's provider, its tokens stored. The exit code.
int AuthorizeAccount(const RunOptions& options);

}  // namespace sendal
