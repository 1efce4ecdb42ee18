// The Windows side of tools/http_get.h: the launcher's own WinINet request (transfer/), with its
// redirection rule and time-outs, on a session per connection, and the connections on threads
// of CreateThread (the 32-bit tool has no other threads).
#include "tools/checking/http_get.h"

#include <windows.h>
#include <wininet.h>

#include <vector>

#include "transfer/content_range.h"
#include "transfer/http_request.h"
#include "transfer/http_response.h"
#include "transfer/url.h"

// The launcher's flags: always from the origin, never a dialog; the list fetch also asks proxies
// for a fresh copy.
static const DWORD file_flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_UI;
static const DWORD list_flags = file_flags | INTERNET_FLAG_PRAGMA_NOCACHE;
static const DWORD read_block_size = 65536;
// An unwanted body up to this size is read and dropped: cheaper than a new connection.
static const uint64_t drain_limit = 16384;
static const unsigned long status_ok = 200;
static const unsigned long status_partial = 206;
static const size_t content_range_size = 128;

struct HttpClient {
    HINTERNET session;
};

static void read_range(HINTERNET request, HttpAnswer& answer)
{
    char text[content_range_size];
    DWORD size = sizeof(text);
    answer.has_range = false;
    if (answer.status != status_partial || !HttpQueryInfoA(request, HTTP_QUERY_CONTENT_RANGE, text, &size, NULL) ||
        size >= sizeof(text)) {
        return;
    }
    text[size] = '\0';
    answer.has_range = parse_content_range(text, answer.range);
}

static std::string range_headers(const AskedRange& range)
{
    if (!range.asked) {
        return std::string();
    }
    std::string headers = "Range: bytes=" + std::to_string(range.first) + "-" + std::to_string(range.last) + "\r\n";
    if (!range.if_range.empty()) {
        headers += "If-Range: " + range.if_range + "\r\n";
    }
    return headers;
}

// Hands each block where the ask says; false with the reason when the body did not arrive whole,
// a short body included (WinINet ends a body cut before its Content-Length as if it were whole).
static bool read_body(HINTERNET request, const HttpAsk& ask, BodyUse use, HttpAnswer& answer)
{
    std::vector<char> block(read_block_size);
    uint64_t arrived = 0;
    for (;;) {
        DWORD got = 0;
        if (!InternetReadFile(request, block.data(), read_block_size, &got)) {
            answer.failure = "connection lost";
            return false;
        }
        if (got == 0) {
            break;
        }
        arrived += got;
        answer.received += got;
        if (use == BodyUse::keep) {
            if (answer.body.size() + got > ask.body_limit) {
                answer.failure = "more than " + std::to_string(ask.body_limit) + " bytes";
                return false;
            }
            answer.body.append(block.data(), got);
        } else if (use == BodyUse::stream && !ask.sink.take(ask.sink.context, block.data(), got)) {
            return true;
        }
    }
    if (answer.has_length && arrived < answer.length) {
        answer.failure = "connection lost";
        return false;
    }
    return true;
}

bool http_get(HttpClient& client, const HttpAsk& ask, HttpAnswer& answer)
{
    answer = HttpAnswer();
    HttpRequest http;
    if (!open_http_request(client.session, ask.url, ask.past_caches ? list_flags : file_flags,
                           range_headers(ask.range), http, answer.failure)) {
        return false;
    }
    answer.status = response_status(http.request);
    answer.has_length = response_length(http.request, answer.length);
    read_range(http.request, answer);
    response_validator(http.request, answer.validator);
    BodyUse use = answer.status == status_ok || answer.status == status_partial ? ask.body : BodyUse::skip;
    bool whole = true;
    // Closing a request with its body unread drops the connection, which pays only for a big body.
    if (use != BodyUse::skip || (answer.has_length && answer.length <= drain_limit)) {
        whole = read_body(http.request, ask, use, answer);
    }
    close_http_request(http);
    return whole;
}

// What the threads share.
struct Connection {
    const ConnectionWork* work;
    HttpClient client;
};

static DWORD WINAPI run_connection(LPVOID context)
{
    Connection& connection = *static_cast<Connection*>(context);
    connection.work->run(connection.work->context, connection.client);
    return 0;
}

// WinINet holds back requests beyond a few per server unless told otherwise; the setting is the
// process's own.
static void allow_connections(int count)
{
    DWORD allowed = DWORD(count);
    InternetSetOptionA(NULL, INTERNET_OPTION_MAX_CONNS_PER_SERVER, &allowed, sizeof(allowed));
    InternetSetOptionA(NULL, INTERNET_OPTION_MAX_CONNS_PER_1_0_SERVER, &allowed, sizeof(allowed));
}

static bool open_client(HttpClient& client)
{
    client.session = InternetOpenA(launcher_user_agent, INTERNET_OPEN_TYPE_PRECONFIG, NULL, NULL, 0);
    if (client.session == NULL) {
        return false;
    }
    DWORD timeout = network_timeout_ms;
    InternetSetOptionA(client.session, INTERNET_OPTION_CONNECT_TIMEOUT, &timeout, sizeof(timeout));
    InternetSetOptionA(client.session, INTERNET_OPTION_RECEIVE_TIMEOUT, &timeout, sizeof(timeout));
    return true;
}

bool run_connections(int count, const ConnectionWork& work, std::string& error_text)
{
    allow_connections(count);
    std::vector<Connection> connections(static_cast<size_t>(count));
    std::vector<HANDLE> threads;
    std::vector<HINTERNET> sessions;
    for (Connection& connection : connections) {
        connection.work = &work;
        if (!open_client(connection.client)) {
            continue;
        }
        sessions.push_back(connection.client.session);
        HANDLE thread = CreateThread(NULL, 0, run_connection, &connection, 0, NULL);
        if (thread != NULL) {
            threads.push_back(thread);
        }
    }
    while (!threads.empty() &&
           WaitForMultipleObjects(DWORD(threads.size()), threads.data(), TRUE, tick_ms) == WAIT_TIMEOUT) {
        work.tick(work.context);
    }
    for (HANDLE thread : threads) {
        CloseHandle(thread);
    }
    for (HINTERNET session : sessions) {
        InternetCloseHandle(session);
    }
    if (threads.empty()) {
        error_text = "no connection could be started";
        return false;
    }
    return true;
}
