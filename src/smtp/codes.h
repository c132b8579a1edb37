// The reply codes the dialogue waits for, in one place. Codes are whole numbers read from the
// three digits a reply line begins with.
#pragma once

namespace sendal {

constexpr int GreetingCode = 220;  // the greeting, and the go-ahead for STARTTLS
constexpr int OkCode = 250;
constexpr int DataCode = 354;      // go ahead with the message text
constexpr int TooManyRecipientsCode = 452;
constexpr int ClosingCode = 421;       // the relay ends the session
constexpr int NoServiceCode = 521;     // the relay takes no mail at all
constexpr int AuthRequiredCode = 530;  // nothing goes without a login
constexpr int AuthOkCode = 235;
constexpr int AuthMoreCode = 334;  // the relay asks for the next AUTH answer
constexpr int UnknownCommandCode = 500;
constexpr int NotImplementedCode = 502;

// The first digit of a code: 2 done, 3 go on, 4 not now, 5 never.
constexpr int ReplyClass(int code) {
    return code / 100;
}

}  // namespace sendal
