// What one run (or one account's session) is asked to do: the words of the command line, an
// account of the configuration file, or both, the command line winning. One value, handed down
// to what needs it. Without any option the dialogue is HELO and plain text: the mail packages
// that start us by hand and the relays they were set up with expect exactly that.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sendal {

// AuthAny chooses among PLAIN and LOGIN; the OAuth2 mechanisms are used only when asked for.
enum AuthMechanism { AuthNone, AuthAny, AuthPlain, AuthLogin, AuthXoauth2, AuthOauthbearer, AuthExternal };

// Which command the words ask for.
enum class RunForm { Host, Send, Queue, Release, Remove, Authorize, Stop };

// An account's OAuth2 client: the provider's preset, or the endpoints named.
struct OAuth2Settings {
    std::string provider;  // "microsoft" or "google"
    std::string clientId, clientSecret;
    std::string deviceUrl, authUrl, tokenUrl, scope;
};

struct RunOptions {
    RunForm form = RunForm::Host;
    std::string host;           // the relay, from the host field or the account
    std::vector<std::string> hosts;  // an account's relays, tried in order (the first is `host`)
    std::int32_t port = 0;
    std::string heloName;       // -helo=
    std::string fileMask;       // the spool's mask (host form, --queue)
    std::string configName;     // --config=
    std::string argument;       // the file of --release and --remove, the account of --authorize
    bool json = false;          // --json: the queue listing as JSON lines
    bool now = false;           // --now: every file tried, whatever its next-try time

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
    bool backoff = false;       // -backoff: files wait for their next-try time in the host form too
    int expireDays = 0;         // -expire=: a file waiting longer is held when its try fails
    int rate = 0;               // -rate=: at most this many messages a minute
    int retryMin = 60;          // seconds: the first wait after a relay asked to wait
    int retryMax = 3600;        // seconds: the longest wait between two tries
    int alertAfter = 0;         // seconds a file may wait before the notice says it is stuck; 0: never
    std::string metricsFile;    // where each run leaves its figures for a metrics collector
    std::string notifyCommand;  // what runs once for a held file
    AuthMechanism auth = AuthNone;
    std::string from;           // -from=: the envelope sender of every file
    std::string login;          // an account's login, instead of the netrc entry's
    std::string passwordCommand;  // gives the secret (the account's, or SENDAL_PASSWORD_COMMAND)
    std::string caFile;         // a CA's PEM file trusted besides the system's
    std::string fingerprint;    // -fingerprint=: SHA-256 of the relay's certificate, hex
    std::vector<std::string> pins;  // -pin=sha256:...: digests of keys the relay may hold
    std::string certFile, keyFile;  // -cert=, -key=: the client certificate, PEM
    std::string account;        // the account's name under --send, for messages
    OAuth2Settings oauth2;      // an account's OAuth2 client, when sendal keeps its tokens
    bool underAccount = false;  // the options came from an account (hints name its keys)

    std::uint64_t given = 0;    // which entries of the option table the command line set
};

// Whether the dialogue greets with EHLO (every option that needs what the relay offers).
inline bool UsesEhlo(const RunOptions& options) {
    return options.ehlo || options.startTls || options.implicitTls || options.auth != AuthNone;
}

inline bool UsesTls(const RunOptions& options) {
    return options.startTls || options.implicitTls;
}

}  // namespace sendal
