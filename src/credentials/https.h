// One HTTPS request to an authorisation server (libcurl): a form posted, its answer read. The
// server is the user's provider, but what comes back is read as from anyone: bounded in size
// and time, never followed elsewhere, the certificate checked.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace sendal {

using FormFields = std::vector<std::pair<std::string, std::string>>;

// What a request gave: the HTTP status and the body, or why there is none.
struct HttpsAnswer {
    long status = 0;
    std::string body;
    std::string error;  // empty when the server answered (whatever its status)
};

constexpr std::size_t MaxAnswerBytes = 1 << 20;
constexpr long HttpsSeconds = 30;  // the whole request, from the connect to the last byte

// Posts `fields` (form-encoded) to the https address `url`; the certificate is checked against
// the system's trust store and `caFile` where one is named. No redirect is followed (a
// redirect is an error), an answer over MaxAnswerBytes or one that takes longer than
// HttpsSeconds is an error.
HttpsAnswer PostForm(const std::string& url, const FormFields& fields, const std::string& caFile);

// `text` for a URL's query or a form (RFC 3986 unreserved characters kept).
std::string UrlEncode(const std::string& text);

}  // namespace sendal
