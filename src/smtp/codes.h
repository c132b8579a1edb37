// The reply codes the dialogue waits for, in one place.
#pragma once

namespace sendal {

constexpr double GreetingCode = 220;  // the greeting, and the go-ahead for STARTTLS
constexpr double OkCode = 250;
constexpr double DataCode = 354;      // go ahead with the message text
constexpr double TooManyRecipientsCode = 452;
constexpr double AuthOkCode = 235;
constexpr double AuthMoreCode = 334;  // the relay asks for the next AUTH answer
constexpr double AnyCode = -1;        // the reply is shown or logged but not judged

}  // namespace sendal
