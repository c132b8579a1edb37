// The options of the run, from the options field of the command line. Without any of them the
// dialogue is HELO and plain text, as it has always been.
#pragma once

#include <string>
#include <vector>

#include "net/tls.h"

namespace sendal {

// AuthAny chooses among PLAIN and LOGIN; the OAuth2 mechanisms are used only when asked for.
enum AuthMechanism { AuthNone, AuthAny, AuthPlain, AuthLogin, AuthXoauth2, AuthOauthbearer, AuthExternal };

struct RunOptions {
    bool exitCode = false;      // -exitcode: sysexits codes instead of 0
    bool ehlo = false;          // -ehlo: EHLO instead of HELO on a plain connection
    bool startTls = false;      // -starttls
    bool implicitTls = false;   // -tls: TLS from the first byte
    bool insecureAuth = false;  // -insecureauth: AUTH allowed without TLS
    bool noVerify = false;      // -noverify: the certificate is not checked
    bool keepGoing = false;     // -keepgoing: a refused file stays, the rest still go
    bool noChunking = false;    // -nochunking: DATA even where the relay offers CHUNKING
    bool noSandbox = false;     // -nosandbox: the run is not confined (for debugging)
    bool hold = false;          // -hold: a file refused for good moves to held/
    bool syslog = false;        // -syslog: a journal line per file outcome
    int expireDays = 0;         // -expire=: a file waiting longer is held when its try fails
    int rate = 0;               // -rate=: at most this many messages a minute
    std::string notifyCommand;  // what runs once for a held file
    AuthMechanism auth = AuthNone;
    std::string from;           // -from=: the envelope sender of every file
    std::string login;          // an account's login, instead of the netrc entry's
    std::string fingerprint;  // -fingerprint=: SHA-256 of the relay's certificate, hex
    std::vector<std::string> pins;  // -pin=sha256:...: digests of keys the relay may hold
    std::string certFile, keyFile;  // -cert=, -key=: the client certificate, PEM
};

inline RunOptions Options;

// Whether the dialogue greets with EHLO (every option that needs what the relay offers).
inline bool UsesEhlo() {
    return Options.ehlo || Options.startTls || Options.implicitTls || Options.auth != AuthNone;
}

// The TLS policy the options ask for, for the transport.
inline TlsPolicy RunTlsPolicy() {
    return {Options.implicitTls, !Options.noVerify, Options.fingerprint, Options.pins,
            Options.certFile, Options.keyFile};
}

inline bool UsesTls() {
    return Options.startTls || Options.implicitTls;
}

}  // namespace sendal
