// STARTTLS and AUTH. The transport does the TLS; this part only asks for it.
#include "smtp/submission.h"

#include <sys/prctl.h>

#include <chrono>
#include <cstring>
#include <sstream>

#include "base/globals.h"
#include "credentials/netrc.h"
#include "credentials/oauth2.h"
#include "base/runoptions.h"
#include "base/outcome.h"
#include "base/stop.h"
#include "base/text.h"
#include "log/log.h"
#include "net/connect.h"
#include "net/receive.h"
#include "smtp/codes.h"
#include "smtp/command.h"
#include "smtp/session.h"

namespace sendal {
namespace {

constexpr const char* Hidden = "********";
constexpr int GreetingHintSeconds = 10;

std::int32_t StartTlsDialogue(const std::string& heloName) {
    if (!Offers("STARTTLS")) return ReportFailure("STARTTLS not offered!", EX_UNAVAILABLE);
    Reply reply;
    if (Exchange("STARTTLS", reply, EchoConsole) != 0) return -1;
    if (reply.code != GreetingCode) return ReportRefusal("STARTTLS", reply);
    if (SwitchToTls(RelayHost, TlsPolicyOf(*CurrentSession.options)) != 0) return -1;
    return HelloCommand("EHLO " + heloName);  // what the relay offered before is forgotten
}

// 0 when `reply` has code `wanted`, else -1 after "Login refused: <reply>": a 4xx is worth
// another try later (75), anything else needs the user (77).
// Overwrites a copy of the secret before its memory is let go.
void WipeText(std::string& text) {
    ::explicit_bzero(text.data(), text.size());
    text.clear();
}

std::int32_t LoginVerdict(const Reply& reply, int wanted) {
    if (reply.code == wanted) return 0;
    NoteOutcome(ReplyClass(reply.code) == 4 ? EX_TEMPFAIL : EX_NOPERM);
    LogMessage("Login refused: " + reply.Final(), LevelError);
    return -1;
}

// A command of the login, logged as `shown` (it holds a secret), and its reply, logged. 0, or
// -1 on a failure (reported).
std::int32_t LoginExchange(const std::string& command, const std::string& shown, Reply& reply) {
    LogMessage(shown, LevelNormal);
    return Exchange(command, reply, EchoLog);
}

// One step of the login: 0 when the reply has code `wanted`; -1 after "Login refused: <reply>"
// or a failure.
std::int32_t LoginStep(const std::string& command, const std::string& shown, int wanted) {
    Reply reply;
    return LoginExchange(command, shown, reply) != 0 ? -1 : LoginVerdict(reply, wanted);
}

// The mechanism to use: the one asked for, or PLAIN before LOGIN; only one the relay offered.
AuthMechanism ChooseMechanism() {
    std::istringstream words(ToUpperAscii(OfferedParameters("AUTH")));
    bool plain = false, login = false, xoauth2 = false, oauthbearer = false, external = false;
    for (std::string word; words >> word;) {
        plain = plain || word == "PLAIN";
        login = login || word == "LOGIN";
        xoauth2 = xoauth2 || word == "XOAUTH2";
        oauthbearer = oauthbearer || word == "OAUTHBEARER";
        external = external || word == "EXTERNAL";
    }
    switch (CurrentSession.options->auth) {
    case AuthExternal: return external ? AuthExternal : AuthNone;
    case AuthXoauth2: return xoauth2 ? AuthXoauth2 : AuthNone;
    case AuthOauthbearer: return oauthbearer ? AuthOauthbearer : AuthNone;
    case AuthLogin: return login ? AuthLogin : AuthNone;
    case AuthPlain: return plain ? AuthPlain : AuthNone;
    default: return plain ? AuthPlain : login ? AuthLogin : AuthNone;
    }
}

// OAuth2 with the access token: a token the relay does not take gets a 334 with its error,
// which the mechanism answers (an empty line for XOAUTH2, a ^A for OAUTHBEARER) before the
// relay gives its final reply.
std::int32_t AuthenticateOAuth(AuthMechanism mechanism) {
    bool bearer = mechanism == AuthOauthbearer;
    std::string name = bearer ? "OAUTHBEARER" : "XOAUTH2";
    const std::string separator(1, '\x01');  // ^A between the fields of the response
    std::string response = bearer ? "n,a=" + RelayUser + "," + separator + "host=" + RelayHost +
                                        separator + "auth=Bearer " + RelayPassword + separator
                                  : "user=" + RelayUser + separator + "auth=Bearer " +
                                        RelayPassword + separator;
    response += separator;
    std::string command = "AUTH " + name + " " + EncodeBase64(response);
    WipeText(response);
    Reply reply;
    std::int32_t exchanged = LoginExchange(command, "AUTH " + name + " " + Hidden, reply);
    WipeText(command);
    if (exchanged != 0) return -1;
    // The error challenge: its answer ends the exchange, and the relay's final reply tells.
    if (reply.code == AuthMoreCode && LoginExchange(bearer ? "AQ==" : "", Hidden, reply) != 0)
        return -1;
    return LoginVerdict(reply, AuthOkCode);
}

std::int32_t Authenticate() {
    AuthMechanism mechanism = ChooseMechanism();
    if (mechanism == AuthNone) return ReportFailure("AUTH not offered!", EX_UNAVAILABLE);
    if (mechanism == AuthXoauth2 || mechanism == AuthOauthbearer) return AuthenticateOAuth(mechanism);
    // The client certificate is the login: "=" asks for the identity it holds.
    if (mechanism == AuthExternal) return LoginStep("AUTH EXTERNAL =", "AUTH EXTERNAL =", AuthOkCode);
    if (mechanism == AuthPlain) {
        std::string response = std::string(1, '\0') + RelayUser + '\0' + RelayPassword;
        std::string command = "AUTH PLAIN " + EncodeBase64(response);
        WipeText(response);
        std::int32_t result = LoginStep(command, std::string("AUTH PLAIN ") + Hidden, AuthOkCode);
        WipeText(command);
        return result;
    }
    if (LoginStep("AUTH LOGIN", "AUTH LOGIN", AuthMoreCode) != 0) return -1;
    if (LoginStep(EncodeBase64(RelayUser), Hidden, AuthMoreCode) != 0) return -1;
    std::string answer = EncodeBase64(RelayPassword);
    std::int32_t result = LoginStep(answer, Hidden, AuthOkCode);
    WipeText(answer);
    return result;
}

// A port that wants TLS from the first byte waits for our hello and never greets.
void HintAtImplicitTls(std::int32_t port, bool underAccount) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(GreetingHintSeconds);
    if (WaitReceived(deadline) != 1) return;
    std::string number = std::to_string(port & 0xFFFF);
    LogMessage("No greeting from " + RelayHost + " port " + number + " within " +
                   std::to_string(GreetingHintSeconds) + " s: does port " + number + (underAccount ? " want security = \"tls\"?" : " want -tls?"), LevelWarning);
}

}  // namespace

std::int32_t OpenDialogue(const RunOptions& options) {
    const std::string& heloName = options.heloName;
    const ReplyDeadline greetingDeadline = ReplyDeadlineFromNow();
    if (options.startTls) HintAtImplicitTls(options.port, options.underAccount);
    if (!UsesEhlo(options)) return SmtpCommand("HELO " + heloName, greetingDeadline);
    if (SmtpCommand("EHLO " + heloName, greetingDeadline) != 0) return -1;
    if (options.startTls && StartTlsDialogue(heloName) != 0) return -1;
    if (options.auth == AuthNone) return 0;
    std::int32_t result = Authenticate();
    // Done with it, whatever the relay said; a run that may log in again keeps it to its end.
    if (!options.keepGoing) ForgetSecret();
    return result;
}

std::int32_t ReadSubmissionSecret(const RunOptions& options) {
    // An account whose tokens sendal keeps: the access token, refreshed when it is due.
    if (!options.oauth2.clientId.empty() && (options.auth == AuthXoauth2 || options.auth == AuthOauthbearer)) {
        ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);  // before any secret is in memory
        ForgetSecret();
        RelayUser = options.login;
        return AccessTokenFor(options, false, RelayPassword);
    }
    if (options.auth == AuthNone || options.auth == AuthExternal ||
        ReadCredentials(RelayHost, options.login, options.passwordCommand, options.underAccount) == 0)
        return 0;
    if (StopSignal() == 0) NoteOutcome(EX_CONFIG);
    return -1;
}

std::int32_t CheckSubmissionOptions(const RunOptions& options) {
    if (options.auth != AuthNone && !UsesTls(options) && !options.insecureAuth)
        return ReportFailure("AUTH needs TLS!", EX_CONFIG);
    if (options.auth == AuthExternal && options.certFile.empty())
        return ReportFailure("-auth=external needs -cert=!", EX_CONFIG);
    if (!options.certFile.empty() &&
        CheckClientKeyFile(options.keyFile.empty() ? options.certFile : options.keyFile) != 0)
        return -1;
    if (options.noVerify && UsesTls(options) && options.pins.empty())
        LogMessage("Certificate not checked!", LevelWarning);
    return 0;
}

}  // namespace sendal
