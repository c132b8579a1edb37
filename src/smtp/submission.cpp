// STARTTLS and AUTH. The transport does the TLS; this part only asks for it.
#include "smtp/submission.h"

#include <sstream>

#include "base/globals.h"
#include "base/netrc.h"
#include "base/options.h"
#include "base/outcome.h"
#include "base/text.h"
#include "log/log.h"
#include "net/connect.h"
#include "smtp/codes.h"
#include "smtp/command.h"

namespace sendal {
namespace {

constexpr const char* Hidden = "********";

std::int32_t Refuse(const char* message, int outcome) {
    NoteOutcome(outcome);
    LogMessage(message, -1, LevelError);
    return -1;
}

std::int32_t StartTlsDialogue(const std::string& heloName) {
    if (!Offers("STARTTLS")) return Refuse("STARTTLS not offered!", EX_UNAVAILABLE);
    if (Exchange("STARTTLS", GreetingCode, EchoConsole) != 0) return -1;
    if (SwitchToTls(RelayHost) != 0) return -1;
    return GreetingCommand("EHLO " + heloName);  // what the relay offered before is forgotten
}

// The mechanism to use: the one asked for, or PLAIN before LOGIN; only one the relay offered.
AuthMechanism ChooseMechanism() {
    std::istringstream words(ToUpperAscii(OfferedParameters("AUTH")));
    bool plain = false, login = false;
    for (std::string word; words >> word;) {
        plain = plain || word == "PLAIN";
        login = login || word == "LOGIN";
    }
    if (plain && Options.auth != AuthLogin) return AuthPlain;
    if (login && Options.auth != AuthPlain) return AuthLogin;
    return AuthNone;
}

std::int32_t Authenticate() {
    AuthMechanism mechanism = ChooseMechanism();
    if (mechanism == AuthNone) return Refuse("AUTH not offered!", EX_UNAVAILABLE);
    if (mechanism == AuthPlain) {
        std::string token = EncodeBase64(std::string(1, '\0') + RelayUser + '\0' + RelayPassword);
        return ExchangeShown("AUTH PLAIN " + token, std::string("AUTH PLAIN ") + Hidden,
                             AuthOkCode, EchoLog);
    }
    if (Exchange("AUTH LOGIN", AuthMoreCode, EchoLog) != 0) return -1;
    if (ExchangeShown(EncodeBase64(RelayUser), Hidden, AuthMoreCode, EchoLog) != 0) return -1;
    return ExchangeShown(EncodeBase64(RelayPassword), Hidden, AuthOkCode, EchoLog);
}

}  // namespace

std::int32_t OpenDialogue(const std::string& heloName) {
    if (!UsesEhlo()) return SmtpCommand("HELO " + heloName);
    if (SmtpCommand("EHLO " + heloName) != 0) return -1;
    if (Options.startTls && StartTlsDialogue(heloName) != 0) return -1;
    if (Options.auth != AuthNone) return Authenticate();
    return 0;
}

std::int32_t CheckSubmissionOptions() {
    if (Options.auth != AuthNone && !UsesTls() && !Options.insecureAuth)
        return Refuse("AUTH needs TLS!", EX_CONFIG);
    if (Options.auth != AuthNone && ReadCredentials(RelayHost) != 0) {
        NoteOutcome(EX_CONFIG);
        return -1;
    }
    if (Options.noVerify && UsesTls()) LogMessage("Certificate not checked!", -1, LevelWarning);
    return 0;
}

}  // namespace sendal
