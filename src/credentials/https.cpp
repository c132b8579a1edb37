// HTTPS by libcurl (its GnuTLS build, the TLS library sendal already uses).
#include "credentials/https.h"

#include <curl/curl.h>
#include <string.h>

#include <cctype>
#include <memory>

namespace sendal {
namespace {

constexpr long ConnectSeconds = 10;

struct Received {
    std::string body;
    bool tooLarge = false;
};

extern "C" size_t TakeBytes(char* data, size_t size, size_t count, void* into) {
    auto* received = static_cast<Received*>(into);
    std::size_t bytes = size * count;
    if (received->body.size() + bytes > MaxAnswerBytes) {
        received->tooLarge = true;
        return 0;  // ends the transfer
    }
    received->body.append(data, bytes);
    return bytes;
}

// The form's text: it holds secrets (a refresh token, a client secret), so it is wiped after.
std::string FormText(const FormFields& fields) {
    std::string text;
    for (const auto& [name, value] : fields) text += (text.empty() ? "" : "&") + UrlEncode(name) + "=" + UrlEncode(value);
    return text;
}

}  // namespace

std::string UrlEncode(const std::string& text) {
    static const char Hex[] = "0123456789ABCDEF";
    std::string encoded;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            encoded += static_cast<char>(c);
        } else {
            encoded += '%';
            encoded += Hex[c >> 4];
            encoded += Hex[c & 15];
        }
    }
    return encoded;
}

HttpsAnswer PostForm(const std::string& url, const FormFields& fields, const std::string& caFile) {
    HttpsAnswer answer;
    static const bool ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    std::unique_ptr<CURL, void (*)(CURL*)> curl(ready ? curl_easy_init() : nullptr, curl_easy_cleanup);
    if (!curl) return answer.error = "no HTTPS client", answer;
    std::string form = FormText(fields);
    Received received;
    CURL* handle = curl.get();
    curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "https");  // never plain text, not even by a redirect
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(handle, CURLOPT_POSTFIELDS, form.c_str());
    curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE, static_cast<long>(form.size()));
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, ConnectSeconds);
    curl_easy_setopt(handle, CURLOPT_TIMEOUT, HttpsSeconds);
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(handle, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(MaxAnswerBytes));
    if (!caFile.empty()) curl_easy_setopt(handle, CURLOPT_CAINFO, caFile.c_str());
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, TakeBytes);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &received);
    curl_easy_setopt(handle, CURLOPT_USERAGENT, "sendal");
    CURLcode done = curl_easy_perform(handle);
    ::explicit_bzero(form.data(), form.size());
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &answer.status);
    answer.body = std::move(received.body);
    if (received.tooLarge || done == CURLE_FILESIZE_EXCEEDED) answer.error = "an answer over 1 MiB";
    else if (done == CURLE_OPERATION_TIMEDOUT) answer.error = "no whole answer within " + std::to_string(HttpsSeconds) + " s";
    else if (done != CURLE_OK) answer.error = curl_easy_strerror(done);
    else if (answer.status >= 300 && answer.status < 400) answer.error = "a redirect (HTTP " + std::to_string(answer.status) + ")";
    return answer;
}

}  // namespace sendal
