// One GET on an internet session: the URL split into server and object, a connection and a request
// handle of its own, the time-outs set on that request, and the redirections followed here
// rather than inside the stack.
//
// Why not one InternetOpenUrlA call: the session's time-outs must bound every wait. Windows hands
// them down from the session to each request; wine does not (measured: a server that accepts and
// never answers held InternetOpenUrlA for as long as it kept the connection), but honours them
// when they are set on the request itself. And the stack's own redirection handling follows a
// loop for ever under wine; the limit here holds everywhere.
#include "transfer/http_request.h"

#include <vector>

#include "transfer/http_response.h"

static const int max_redirections = 10;

struct UrlParts {
    std::string host, user, password, object;  // object: the path with its query
    INTERNET_PORT port;
    bool secure;
};

static bool is_redirection(unsigned long status)
{
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// No part of a URL is longer than the URL itself, so buffers of its length always suffice.
static bool split_url(const std::string& url, UrlParts& parts)
{
    DWORD size = DWORD(url.size() + 1);
    std::vector<char> host(size), user(size), password(size), path(size), extra(size);
    URL_COMPONENTSA components = {};
    components.dwStructSize = sizeof(components);
    components.lpszHostName = host.data();
    components.dwHostNameLength = size;
    components.lpszUserName = user.data();
    components.dwUserNameLength = size;
    components.lpszPassword = password.data();
    components.dwPasswordLength = size;
    components.lpszUrlPath = path.data();
    components.dwUrlPathLength = size;
    components.lpszExtraInfo = extra.data();
    components.dwExtraInfoLength = size;
    if (!InternetCrackUrlA(url.c_str(), 0, 0, &components))
        return false;
    if (components.nScheme != INTERNET_SCHEME_HTTP && components.nScheme != INTERNET_SCHEME_HTTPS) {
        SetLastError(ERROR_INTERNET_UNRECOGNIZED_SCHEME);
        return false;
    }
    parts.host = host.data();
    parts.user = user.data();
    parts.password = password.data();
    parts.object = std::string(path.data()) + extra.data();
    if (parts.object.empty())
        parts.object = "/";
    parts.port = components.nPort;
    parts.secure = components.nScheme == INTERNET_SCHEME_HTTPS;
    return true;
}

static void set_request_timeouts(HINTERNET request)
{
    DWORD timeout = network_timeout_ms;
    InternetSetOptionA(request, INTERNET_OPTION_CONNECT_TIMEOUT, &timeout, sizeof(timeout));
    InternetSetOptionA(request, INTERNET_OPTION_RECEIVE_TIMEOUT, &timeout, sizeof(timeout));
}

// The last error is taken before any handle is closed: closing may overwrite it.
static bool fail_with_last_error(HttpRequest& http, std::string& error_text)
{
    error_text = open_failure_text(GetLastError());
    close_http_request(http);
    return false;
}

static bool send_request(HINTERNET session, const std::string& url, DWORD flags,
                         const std::string& headers, HttpRequest& http, std::string& error_text)
{
    http.connection = NULL;
    http.request = NULL;
    UrlParts parts;
    if (!split_url(url, parts))
        return fail_with_last_error(http, error_text);
    http.connection = InternetConnectA(session, parts.host.c_str(), parts.port,
                                       parts.user.empty() ? NULL : parts.user.c_str(),
                                       parts.password.empty() ? NULL : parts.password.c_str(),
                                       INTERNET_SERVICE_HTTP, 0, 0);
    if (http.connection == NULL)
        return fail_with_last_error(http, error_text);
    // The certificate checks stay whole: no INTERNET_FLAG_IGNORE_CERT_* flag is ever added here,
    // and no setting reaches these flags, so a server can't be trusted by a player's choice.
    DWORD request_flags = flags | INTERNET_FLAG_NO_AUTO_REDIRECT | (parts.secure ? INTERNET_FLAG_SECURE : 0);
    http.request = HttpOpenRequestA(http.connection, "GET", parts.object.c_str(), NULL, NULL, NULL,
                                    request_flags, 0);
    if (http.request == NULL)
        return fail_with_last_error(http, error_text);
    set_request_timeouts(http.request);
    if (!HttpSendRequestA(http.request, headers.empty() ? NULL : headers.c_str(), DWORD(headers.size()),
                          NULL, 0))
        return fail_with_last_error(http, error_text);
    return true;
}

// The absolute URL a redirection points to, resolved against the URL that answered it.
static bool redirection_target(HINTERNET request, const std::string& from, std::string& target)
{
    std::vector<char> location(256);
    DWORD size = DWORD(location.size());
    if (!HttpQueryInfoA(request, HTTP_QUERY_LOCATION, location.data(), &size, NULL)) {
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
            return false;
        location.resize(size + 1);
        size = DWORD(location.size());
        if (!HttpQueryInfoA(request, HTTP_QUERY_LOCATION, location.data(), &size, NULL))
            return false;
    }
    std::vector<char> combined(from.size() + location.size() + INTERNET_MAX_URL_LENGTH);
    DWORD combined_size = DWORD(combined.size());
    if (!InternetCombineUrlA(from.c_str(), location.data(), combined.data(), &combined_size, 0))
        return false;
    target.assign(combined.data(), combined_size);
    return true;
}

static bool is_secure(const std::string& url)
{
    UrlParts parts;
    return split_url(url, parts) && parts.secure;
}

bool open_http_request(HINTERNET session, const std::string& url, DWORD flags,
                       const std::string& headers, HttpRequest& http, std::string& error_text)
{
    std::string current = url;
    for (int redirections = 0;; ++redirections) {
        if (!send_request(session, current, flags, headers, http, error_text))
            return false;
        std::string next;
        if (!is_redirection(response_status(http.request)) ||
            !redirection_target(http.request, current, next))
            return true;
        close_http_request(http);
        if (redirections == max_redirections) {
            error_text = "too many redirections";
            return false;
        }
        // HTTPS is what keeps an update from being changed on the way: never give it up.
        if (is_secure(current) && !is_secure(next)) {
            error_text = open_failure_text(ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR);
            return false;
        }
        current = next;
    }
}

void close_http_request(HttpRequest& http)
{
    if (http.request != NULL)
        InternetCloseHandle(http.request);
    if (http.connection != NULL)
        InternetCloseHandle(http.connection);
    http.request = NULL;
    http.connection = NULL;
}
