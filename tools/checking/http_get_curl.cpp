// The native side of tools/http_get.h, on libcurl: one easy handle per connection, kept for
// every request so that its connection is reused; redirections followed here by the launcher's
// rule; the connections on POSIX threads.
#include "tools/checking/http_get.h"

#include <curl/curl.h>
#include <openssl/x509_vfy.h>
#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <strings.h>
#include <vector>

#include "transfer/content_range.h"
#include "transfer/url.h"

// The launcher's connect and receive time-outs: a server slower than that fails for players too.
static const long timeout_ms = 15000;
static const long stalled_seconds = 15;
static const long slowest_bytes_per_second = 1;
static const int max_redirections = 10;
// An unwanted body up to this size is read and dropped: cheaper than a new connection.
static const curl_off_t drain_limit = 16384;
static const long status_ok = 200;
static const long status_partial = 206;

struct HttpClient {
    CURL* handle;
    char error[CURL_ERROR_SIZE];
};

// One request as the write callback sees it.
struct Transfer {
    HttpClient& client;
    const HttpAsk& ask;
    HttpAnswer& answer;
    bool cut;       // the body was left unread on purpose
    bool too_long;  // BodyUse::keep met more than its limit
};

static bool is_redirection(long status)
{
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

static bool is_https(const char* url)
{
    return strncasecmp(url, "https://", 8) == 0;
}

static size_t skip_body(Transfer& transfer, size_t length)
{
    curl_off_t announced = -1;
    curl_easy_getinfo(transfer.client.handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced);
    if (announced >= 0 && announced <= drain_limit) {
        return length;
    }
    transfer.cut = true;
    return 0;
}

static size_t receive(char* data, size_t size, size_t count, void* context)
{
    Transfer& transfer = *static_cast<Transfer*>(context);
    size_t length = size * count;
    transfer.answer.received += length;
    long status = 0;
    curl_easy_getinfo(transfer.client.handle, CURLINFO_RESPONSE_CODE, &status);
    BodyUse use = status == status_ok || status == status_partial ? transfer.ask.body : BodyUse::skip;
    if (use == BodyUse::keep) {
        if (transfer.answer.body.size() + length > transfer.ask.body_limit) {
            transfer.too_long = true;
            return 0;
        }
        transfer.answer.body.append(data, length);
        return length;
    }
    if (use == BodyUse::stream) {
        if (!transfer.ask.sink.take(transfer.ask.sink.context, data, length)) {
            transfer.cut = true;
            return 0;
        }
        return length;
    }
    return skip_body(transfer, length);
}

static bool is_upper(char c)
{
    return c >= 'A' && c <= 'Z';
}

// The launcher's words (transfer/http_response.cpp) for a server that HTTPS refuses, so that
// verify names it as players' windows do; libcurl's own text for a failed handshake is an
// OpenSSL error code. Null for any other failure. The verify results are OpenSSL's: the libcurl
// linked is its OpenSSL flavour.
static const char* refusal_text(CURL* handle, CURLcode code)
{
    if (code == CURLE_SSL_CONNECT_ERROR) {
        return "secure connection failed";
    }
    if (code != CURLE_PEER_FAILED_VERIFICATION) {
        return nullptr;
    }
    long result = X509_V_OK;
    curl_easy_getinfo(handle, CURLINFO_SSL_VERIFYRESULT, &result);
    if (result == X509_V_ERR_CERT_HAS_EXPIRED || result == X509_V_ERR_CERT_NOT_YET_VALID) {
        return "certificate expired";
    }
    // libcurl checks the name itself once the handshake has passed the chain, and leaves its
    // placeholder "unspecified" as the result when the name fails.
    if (result == X509_V_ERR_UNSPECIFIED) {
        return "certificate for another name";
    }
    return "certificate not trusted";
}

// The reasons here are lower-case; libcurl's start with a capital, unless a name begins them.
static std::string failure_text(const HttpClient& client, CURLcode code)
{
    const char* refusal = refusal_text(client.handle, code);
    if (refusal != nullptr) {
        return refusal;
    }
    std::string text = client.error[0] != '\0' ? client.error : curl_easy_strerror(code);
    if (text.size() > 1 && is_upper(text[0]) && !is_upper(text[1])) {
        text[0] = static_cast<char>(text[0] - 'A' + 'a');
    }
    return text;
}

static void read_headers(CURL* handle, long status, HttpAnswer& answer)
{
    answer.status = static_cast<unsigned long>(status);
    curl_off_t length = -1;
    curl_easy_getinfo(handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    answer.has_length = length >= 0;
    answer.length = answer.has_length ? static_cast<uint64_t>(length) : 0;
    struct curl_header* header = nullptr;
    answer.has_range = status == status_partial &&
                       curl_easy_header(handle, "Content-Range", 0, CURLH_HEADER, -1, &header) == CURLHE_OK &&
                       parse_content_range(header->value, answer.range);
    // The launcher's choice (transfer/http_response.cpp): a weak ETag may name several versions,
    // so only a strong one vouches for a range; without it the date of the last change.
    answer.validator.clear();
    if (curl_easy_header(handle, "ETag", 0, CURLH_HEADER, -1, &header) == CURLHE_OK && header->value[0] == '"') {
        answer.validator = header->value;
    } else if (curl_easy_header(handle, "Last-Modified", 0, CURLH_HEADER, -1, &header) == CURLHE_OK) {
        answer.validator = header->value;
    }
}

// One request of the chain; the answer's status and headers are those of this request.
static bool send_once(HttpClient& client, const std::string& url, const HttpAsk& ask, HttpAnswer& answer)
{
    CURL* handle = client.handle;
    struct curl_slist* headers = nullptr;
    if (ask.past_caches) {
        headers = curl_slist_append(headers, "Pragma: no-cache");
        headers = curl_slist_append(headers, "Cache-Control: no-cache");
    }
    std::string range;
    if (ask.range.asked) {
        range = std::to_string(ask.range.first) + "-" + std::to_string(ask.range.last);
        if (!ask.range.if_range.empty()) {
            headers = curl_slist_append(headers, ("If-Range: " + ask.range.if_range).c_str());
        }
    }
    Transfer transfer = {client, ask, answer, false, false};
    curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(handle, CURLOPT_RANGE, ask.range.asked ? range.c_str() : nullptr);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &transfer);
    client.error[0] = '\0';
    answer.body.clear();
    CURLcode code = curl_easy_perform(handle);
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, static_cast<struct curl_slist*>(nullptr));
    curl_slist_free_all(headers);
    long status = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    read_headers(handle, status, answer);
    if (transfer.too_long) {
        answer.failure = "more than " + std::to_string(ask.body_limit) + " bytes";
        return false;
    }
    if (code != CURLE_OK && !(code == CURLE_WRITE_ERROR && transfer.cut)) {
        answer.failure = failure_text(client, code);
        return false;
    }
    return true;
}

bool http_get(HttpClient& client, const HttpAsk& ask, HttpAnswer& answer)
{
    answer = HttpAnswer();
    std::string current = ask.url;
    for (int redirections = 0;; ++redirections) {
        if (!send_once(client, current, ask, answer)) {
            return false;
        }
        char* next = nullptr;
        curl_easy_getinfo(client.handle, CURLINFO_REDIRECT_URL, &next);
        if (!is_redirection(static_cast<long>(answer.status)) || next == nullptr) {
            return true;
        }
        if (redirections == max_redirections) {
            answer.failure = "too many redirections";
            return false;
        }
        // HTTPS is what keeps an update from being changed on the way: the launcher never gives it up.
        if (is_https(current.c_str()) && !is_https(next)) {
            answer.failure = "a redirection from https to http";
            return false;
        }
        current = next;
    }
}

// Certificates are always checked: a release is judged as players' launchers will reach it.
static bool open_client(HttpClient& client)
{
    client.handle = curl_easy_init();
    if (client.handle == nullptr) {
        return false;
    }
    CURL* handle = client.handle;
    curl_easy_setopt(handle, CURLOPT_USERAGENT, launcher_user_agent);
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(handle, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, timeout_ms);
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, slowest_bytes_per_second);
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, stalled_seconds);
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, client.error);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, receive);
    return true;
}

// What the threads share with the calling thread.
struct Crew {
    const ConnectionWork& work;
    std::mutex lock;
    std::condition_variable ended;
    int running;
};

struct Connection {
    Crew* crew;
    HttpClient client;
    pthread_t thread;
};

static void* run_connection(void* context)
{
    Connection& connection = *static_cast<Connection*>(context);
    Crew& crew = *connection.crew;
    crew.work.run(crew.work.context, connection.client);
    std::lock_guard<std::mutex> hold(crew.lock);
    --crew.running;
    crew.ended.notify_one();
    return nullptr;
}

static void wait_for_crew(Crew& crew)
{
    std::unique_lock<std::mutex> hold(crew.lock);
    while (!crew.ended.wait_for(hold, std::chrono::milliseconds(tick_ms), [&] { return crew.running == 0; })) {
        hold.unlock();
        crew.work.tick(crew.work.context);
        hold.lock();
    }
}

bool run_connections(int count, const ConnectionWork& work, std::string& error_text)
{
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
        error_text = "curl_global_init failed";
        return false;
    }
    Crew crew = {work, {}, {}, 0};
    std::vector<Connection> connections(static_cast<size_t>(count));
    std::vector<Connection*> started;
    for (Connection& connection : connections) {
        connection.crew = &crew;
        if (!open_client(connection.client)) {
            continue;
        }
        std::lock_guard<std::mutex> hold(crew.lock);
        if (pthread_create(&connection.thread, nullptr, run_connection, &connection) != 0) {
            curl_easy_cleanup(connection.client.handle);
            continue;
        }
        ++crew.running;
        started.push_back(&connection);
    }
    wait_for_crew(crew);
    for (Connection* connection : started) {
        pthread_join(connection->thread, nullptr);
        curl_easy_cleanup(connection->client.handle);
    }
    curl_global_cleanup();
    if (started.empty()) {
        error_text = "no connection could be started";
        return false;
    }
    return true;
}
