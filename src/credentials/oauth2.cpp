// The OAuth2 flows and the token file. Tokens are held in memory only as long as needed and
// wiped after; they never reach the log, the console, a child's environment or a command line.
#include "credentials/oauth2.h"

#include <fcntl.h>
#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <ctime>
#include <nlohmann/json.hpp>

#include "base/console.h"
#include "base/environment.h"
#include "base/fdio.h"
#include "base/outcome.h"
#include "base/path.h"
#include "base/stop.h"
#include "base/text.h"
#include "credentials/https.h"
#include "log/log.h"

namespace sendal {
namespace {

constexpr std::int64_t RefreshAheadSeconds = 5 * 60;
constexpr std::size_t MaxTokenFileBytes = 64 * 1024;
constexpr int RedirectWaitSeconds = 300;
constexpr std::size_t MaxRequestBytes = 8192;
constexpr const char* DeviceGrant = "urn:ietf:params:oauth:grant-type:device_code";

bool FromStore = false, Refreshed = false;  // this process's login

void Wipe(std::string& text) {
    ::explicit_bzero(text.data(), text.size());
    text.clear();
}

std::int64_t Now() {
    return static_cast<std::int64_t>(std::time(nullptr));
}

// A JSON answer, or a discarded value for anything else (HTML, garbage, nothing).
nlohmann::json ParseJson(const std::string& body) {
    return nlohmann::json::parse(body, nullptr, false);
}

// A string member, empty when it is missing or of another type.
std::string Text(const nlohmann::json& object, const char* key) {
    auto found = object.find(key);
    return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
}

std::int64_t Number(const nlohmann::json& object, const char* key, std::int64_t otherwise) {
    auto found = object.find(key);
    if (found != object.end() && found->is_number_integer()) return found->get<std::int64_t>();
    if (found != object.end() && found->is_string()) {  // some servers quote their numbers
        std::string digits = found->get<std::string>();
        if (!digits.empty() && digits.size() < 10 && digits.find_first_not_of("0123456789") == std::string::npos)
            return std::stoll(digits);
    }
    return otherwise;
}

// The server's error in its words, cut and without a control byte.
std::string ServerError(const nlohmann::json& answer, long status) {
    std::string error = Text(answer, "error"), description = Text(answer, "error_description");
    if (error.empty()) return "HTTP " + std::to_string(status);
    std::string text = error + (description.empty() ? "" : ": " + description);
    if (text.size() > 200) text = text.substr(0, 200) + "...";
    return ReplaceTerminalControls(text, ' ');
}

std::string TokenFolder() {
    std::string home = StateHome();
    return home.empty() ? std::string() : JoinPath(home, "oauth2");
}

// Account names become file names: only plain ones.
bool PlainAccountName(const std::string& account) {
    return !account.empty() && account[0] != '.' && account.find('/') == std::string::npos;
}

std::string Base64Url(const std::string& bytes) {
    std::string text = EncodeBase64(bytes);
    for (char& c : text) c = c == '+' ? '-' : c == '/' ? '_' : c;
    while (!text.empty() && text.back() == '=') text.pop_back();
    return text;
}

std::string RandomText(std::size_t bytes) {
    std::string random(bytes, '\0');
    gnutls_rnd(GNUTLS_RND_RANDOM, random.data(), random.size());
    return Base64Url(random);
}

std::string Sha256(const std::string& text) {
    std::string digest(32, '\0');
    gnutls_hash_fast(GNUTLS_DIG_SHA256, text.data(), text.size(), digest.data());
    return digest;
}

// A form to the token endpoint, its answer into `tokens`. 0, or -1 with `why`.
int TokenRequest(const OAuth2Settings& settings, const std::string& caFile, FormFields fields, Tokens& tokens,
                 std::string& why, bool& needsPerson) {
    fields.emplace_back("client_id", settings.clientId);
    if (!settings.clientSecret.empty()) fields.emplace_back("client_secret", settings.clientSecret);
    HttpsAnswer answer = PostForm(settings.tokenUrl, fields, caFile);
    for (auto& [name, value] : fields) Wipe(value);
    if (!answer.error.empty()) {
        why = "token endpoint " + settings.tokenUrl + ": " + answer.error;
        return -1;
    }
    int taken = TakeTokenAnswer(answer.status, answer.body, tokens, why, needsPerson);
    Wipe(answer.body);
    return taken;
}

// The device grant: the address and code for the person, then the token endpoint asked at the
// server's interval until the person has said yes (or no, or the code expired).
int AuthorizeByDevice(const std::string& account, const OAuth2Settings& settings, const std::string& caFile,
                      Tokens& tokens, std::string& why) {
    HttpsAnswer answer = PostForm(settings.deviceUrl, {{"client_id", settings.clientId}, {"scope", settings.scope}}, caFile);
    if (!answer.error.empty()) return why = "device endpoint " + settings.deviceUrl + ": " + answer.error, -1;
    nlohmann::json device = ParseJson(answer.body);
    std::string code = device.is_object() ? Text(device, "device_code") : std::string();
    std::string userCode = device.is_object() ? Text(device, "user_code") : std::string();
    std::string address = device.is_object() ? Text(device, "verification_uri") : std::string();
    if (answer.status != 200 || code.empty() || userCode.empty() || address.empty())
        return why = "device endpoint: " + (device.is_object() ? ServerError(device, answer.status) : "no JSON"), -1;
    std::int64_t interval = std::max<std::int64_t>(1, Number(device, "interval", 5));
    std::int64_t until = Now() + std::min<std::int64_t>(Number(device, "expires_in", 900), 3600);
    WriteStdoutLine("To authorise " + account + ": open " + ReplaceTerminalControls(address, '?') +
                    " and enter the code " + ReplaceTerminalControls(userCode, '?'));
    while (Now() < until) {
        for (std::int64_t waited = 0; waited < interval * 10 && StopSignal() == 0; ++waited) ::poll(nullptr, 0, 100);
        if (StopSignal() != 0) return why = "stopped", -1;
        bool needsPerson = false;
        if (TokenRequest(settings, caFile, {{"grant_type", DeviceGrant}, {"device_code", code}}, tokens, why,
                         needsPerson) == 0)
            return 0;
        if (why.rfind("authorization_pending", 0) == 0) continue;
        if (why.rfind("slow_down", 0) == 0) {
            interval += 5;  // as the server asks
            continue;
        }
        return -1;
    }
    return why = "the code expired before it was entered", -1;
}

// One HTTP request on the listener: its target ("/?code=...&state=..."), answered with a page
// that says what happened. Empty on a time-out.
std::string TakeRedirect(int listener) {
    pollfd waiting{listener, POLLIN, 0};
    if (::poll(&waiting, 1, RedirectWaitSeconds * 1000) != 1) return {};
    UniqueFd client(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
    if (!client.Valid()) return {};
    std::string request;
    char block[1024];
    while (request.find("\r\n") == std::string::npos && request.size() < MaxRequestBytes) {
        pollfd readable{client.Get(), POLLIN, 0};
        if (::poll(&readable, 1, 10000) != 1) break;
        ssize_t got = ::read(client.Get(), block, sizeof block);
        if (got <= 0) break;
        request.append(block, static_cast<std::size_t>(got));
    }
    const char* page = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nConnection: close\r\n\r\n"
                       "sendal has the answer; you may close this window.\r\n";
    WriteAll(client.Get(), page);
    std::size_t start = request.find(' '), end = request.find(' ', start + 1);
    if (request.rfind("GET ", 0) != 0 || end == std::string::npos) return {};
    return request.substr(start + 1, end - start - 1);
}

std::string UrlDecode(const std::string& text) {
    std::string decoded;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') decoded += ' ';
        else if (text[i] == '%' && i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
                 std::isxdigit(static_cast<unsigned char>(text[i + 2])))
            decoded += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16)), i += 2;
        else decoded += text[i];
    }
    return decoded;
}

std::string QueryValue(const std::string& target, const std::string& name) {
    std::size_t query = target.find('?');
    if (query == std::string::npos) return {};
    std::string rest = target.substr(query + 1);
    for (std::size_t start = 0; start <= rest.size();) {
        std::size_t end = rest.find('&', start);
        std::string pair = rest.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (pair.rfind(name + "=", 0) == 0) return UrlDecode(pair.substr(name.size() + 1));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return {};
}

// The authorisation code grant with PKCE (S256) and a redirect to a port of 127.0.0.1 that
// listens for this one answer, its state checked.
int AuthorizeByCode(const std::string& account, const OAuth2Settings& settings, const std::string& caFile,
                    Tokens& tokens, std::string& why) {
    UniqueFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (!listener.Valid() || ::bind(listener.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener.Get(), 1) != 0 || ::getsockname(listener.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return why = std::string("cannot listen on 127.0.0.1: ") + std::strerror(errno), -1;
    std::string redirect = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/";
    std::string verifier = RandomText(48), state = RandomText(18);
    std::string url = settings.authUrl + (settings.authUrl.find('?') == std::string::npos ? "?" : "&") +
                      "response_type=code&client_id=" + UrlEncode(settings.clientId) + "&redirect_uri=" +
                      UrlEncode(redirect) + "&scope=" + UrlEncode(settings.scope) + "&state=" + state +
                      "&code_challenge=" + Base64Url(Sha256(verifier)) +
                      "&code_challenge_method=S256&access_type=offline&prompt=consent";
    WriteStdoutLine("To authorise " + account + ": open this address in a browser on this machine:");
    WriteStdoutLine(url);
    std::string target = TakeRedirect(listener.Get());
    if (target.empty()) return why = "no answer from the browser within " + std::to_string(RedirectWaitSeconds) + " s", -1;
    if (QueryValue(target, "state") != state) return why = "the answer's state is not this request's: refused", -1;
    std::string code = QueryValue(target, "code");
    if (code.empty()) return why = "the provider answered " + ReplaceTerminalControls(QueryValue(target, "error"), ' '), -1;
    bool needsPerson = false;
    int done = TokenRequest(settings, caFile,
                            {{"grant_type", "authorization_code"}, {"code", code}, {"redirect_uri", redirect},
                             {"code_verifier", verifier}},
                            tokens, why, needsPerson);
    Wipe(code);
    return done;
}

}  // namespace

void WipeTokens(Tokens& tokens) {
    Wipe(tokens.refresh);
    Wipe(tokens.access);
    tokens.expiresAt = 0;
}

OAuth2Settings WithPreset(const OAuth2Settings& settings) {
    OAuth2Settings full = settings;
    auto fill = [](std::string& value, const char* preset) {
        if (value.empty()) value = preset;
    };
    if (settings.provider == "microsoft") {
        fill(full.deviceUrl, "https://login.microsoftonline.com/common/oauth2/v2.0/devicecode");
        fill(full.tokenUrl, "https://login.microsoftonline.com/common/oauth2/v2.0/token");
        fill(full.scope, "https://outlook.office.com/SMTP.Send offline_access");
    } else if (settings.provider == "google") {
        fill(full.authUrl, "https://accounts.google.com/o/oauth2/v2/auth");
        fill(full.tokenUrl, "https://oauth2.googleapis.com/token");
        fill(full.scope, "https://mail.google.com/");
    }
    return full;
}

std::string TokenFilePath(const std::string& account) {
    std::string folder = TokenFolder();
    return folder.empty() || !PlainAccountName(account) ? std::string() : JoinPath(folder, account + ".json");
}

int LoadTokens(const std::string& account, Tokens& tokens, std::string& why) {
    ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);  // no core file may hold a token
    std::string path = TokenFilePath(account);
    if (path.empty()) return why = "no state folder for the tokens of " + account, -1;
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (!fd.Valid()) {
        if (errno == ENOENT) return 1;
        return why = "Token file " + path + ": " + std::strerror(errno), -1;
    }
    struct stat info {};
    if (::fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid())
        return why = "Token file " + path + " is not a file of your own", -1;
    if ((info.st_mode & (S_IRWXG | S_IRWXO)) != 0)
        return why = "Token file " + path + " may be read by others (chmod 600 " + path + ")", -1;
    std::string text;
    if (ReadFdUpTo(fd.Get(), text, MaxTokenFileBytes + 1) != 0) return why = "Token file " + path + " cannot be read", -1;
    nlohmann::json stored = ParseJson(text);
    Wipe(text);
    if (!stored.is_object()) return why = "Token file " + path + " is damaged", -1;
    tokens.refresh = Text(stored, "refresh_token");
    tokens.access = Text(stored, "access_token");
    tokens.expiresAt = Number(stored, "expires_at", 0);
    for (auto& [key, value] : stored.items())
        if (value.is_string()) ::explicit_bzero(value.get_ref<std::string&>().data(), value.get_ref<std::string&>().size());
    return 0;
}

int SaveTokens(const std::string& account, const Tokens& tokens, std::string& why) {
    std::string path = TokenFilePath(account), folder = TokenFolder();
    if (path.empty()) return why = "no state folder for the tokens of " + account, -1;
    for (std::size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
        std::string part = folder.substr(0, slash);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return why = "cannot make " + part, -1;
        if (slash == std::string::npos) break;
    }
    struct stat info {};
    if (::lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid() ||
        (info.st_mode & (S_IRWXG | S_IRWXO)) != 0)
        return why = "Folder refused: " + folder + " (a link, not yours, or open to others)", -1;
    nlohmann::json stored = {{"refresh_token", tokens.refresh}, {"access_token", tokens.access},
                             {"expires_at", tokens.expiresAt}};
    std::string text = stored.dump(2) + "\n";
    std::string temporary = path + ".tmp" + std::to_string(::getpid());
    UniqueFd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    bool written = fd.Valid() && WriteAll(fd.Get(), text) == 0 && ::fsync(fd.Get()) == 0;
    ::explicit_bzero(text.data(), text.size());
    fd.Reset();
    if (!written || ::rename(temporary.c_str(), path.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return why = "cannot write " + path + ": " + std::strerror(errno), -1;
    }
    return 0;
}

int TakeTokenAnswer(long status, const std::string& body, Tokens& tokens, std::string& why, bool& needsPerson) {
    nlohmann::json answer = ParseJson(body);
    if (!answer.is_object()) {
        why = "the token endpoint answered no JSON (HTTP " + std::to_string(status) + ")";
        return -1;
    }
    std::string access = Text(answer, "access_token");
    if (status != 200 || access.empty()) {
        why = ServerError(answer, status);
        needsPerson = Text(answer, "error") == "invalid_grant";
        return -1;
    }
    Wipe(tokens.access);
    tokens.access = std::move(access);
    tokens.expiresAt = Now() + std::max<std::int64_t>(0, Number(answer, "expires_in", 3600));
    if (std::string rotated = Text(answer, "refresh_token"); !rotated.empty()) {  // the new one replaces the old
        Wipe(tokens.refresh);
        tokens.refresh = std::move(rotated);
    }
    for (auto& [key, value] : answer.items())
        if (value.is_string()) ::explicit_bzero(value.get_ref<std::string&>().data(), value.get_ref<std::string&>().size());
    return 0;
}

int AccessTokenFor(const RunOptions& options, bool force, std::string& token) {
    const std::string& account = options.account;
    OAuth2Settings settings = WithPreset(options.oauth2);
    std::string why, needs = "Login needs a person: run sendal --authorize " + account + " (";
    Tokens tokens;
    int loaded = LoadTokens(account, tokens, why);
    if (loaded < 0) return ReportFailure(why + "!", EX_CONFIG);
    if (loaded > 0 || tokens.refresh.empty()) return ReportFailure(needs + "no token yet)!", EX_NOPERM);
    if (force || tokens.access.empty() || tokens.expiresAt - Now() < RefreshAheadSeconds) {
        bool needsPerson = false;
        if (TokenRequest(settings, options.caFile, {{"grant_type", "refresh_token"}, {"refresh_token", tokens.refresh}},
                         tokens, why, needsPerson) != 0) {
            WipeTokens(tokens);
            return needsPerson ? ReportFailure(needs + why + ")!", EX_NOPERM)
                               : ReportFailure("Token refresh failed: " + why + "!", EX_TEMPFAIL);
        }
        if (SaveTokens(account, tokens, why) != 0) LogMessage(why + "!", LevelWarning);
        LogMessage("Access token of " + account + " refreshed", LevelNormal);
        Refreshed = true;
    }
    FromStore = true;
    token = std::move(tokens.access);
    WipeTokens(tokens);
    return 0;
}

bool TokenFromStore() {
    return FromStore;
}

bool TokenRefreshedThisRun() {
    return Refreshed;
}

int AuthorizeAccount(const RunOptions& options) {
    ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);  // no core file may hold a token
    OAuth2Settings settings = WithPreset(options.oauth2);
    if (settings.clientId.empty() || settings.tokenUrl.empty() || (settings.deviceUrl.empty() && settings.authUrl.empty())) {
        WriteStdoutLine("Account " + options.account + " has no oauth2 table with a provider or its endpoints!");
        return EX_CONFIG;
    }
    Tokens tokens;
    std::string why;
    int done = settings.deviceUrl.empty() ? AuthorizeByCode(options.account, settings, options.caFile, tokens, why)
                                          : AuthorizeByDevice(options.account, settings, options.caFile, tokens, why);
    if (done == 0 && tokens.refresh.empty()) done = -1, why = "the provider gave no refresh token";
    if (done == 0 && SaveTokens(options.account, tokens, why) != 0) done = -1;
    WipeTokens(tokens);
    if (done != 0) {
        WriteStdoutLine("Not authorised: " + options.account + ": " + why + "!");
        return EX_NOPERM;
    }
    WriteStdoutLine("Authorised: " + options.account + " (tokens in " + TokenFilePath(options.account) + ")");
    return 0;
}

}  // namespace sendal
