// One GET on an internet session, shared by the text fetch and the file download: the connection,
// the request with its time-outs, and the redirections it follows.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <string>

// Connect and receive time-out of every request, in milliseconds.
const DWORD network_timeout_ms = 15000;

struct HttpRequest {
    HINTERNET connection;  // the server that gave the final response
    HINTERNET request;     // the final response; its body is still to be read
};

// Sends a GET for `url` through `session` with the WinINet `flags` and the extra `headers` (each
// ending in CR LF; may be empty), following up to ten redirections with the same headers. True
// with the final response open in `http`, whatever its status; false with the reason
// ("error %lu" or "too many redirections") and nothing left open.
bool open_http_request(HINTERNET session, const std::string& url, DWORD flags,
                       const std::string& headers, HttpRequest& http, std::string& error_text);

void close_http_request(HttpRequest& http);
