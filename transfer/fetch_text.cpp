// The text fetch of the update list: one GET past the local cache and proxies, the status check,
// and a body that counts only when it arrived whole.
#include "transfer/fetch_text.h"

#include "transfer/http_request.h"
#include "transfer/http_response.h"

// RELOAD | NO_CACHE_WRITE | NO_UI | PRAGMA_NOCACHE: always from the origin, never a dialog.
static const DWORD fetch_flags = 0x84000300;
static const DWORD read_block_size = 16384;
static const size_t text_limit = 16 * 1024 * 1024;
static const unsigned long status_ok = 200;

// Reads the body into `body`. A short body is a lost connection, not an end: WinINet reports a
// connection that drops before the announced length as a clean end of the body.
static bool read_body(HINTERNET request, std::string& body, std::string& error_text)
{
    uint64_t announced = 0;
    bool has_length = response_length(request, announced);
    char block[read_block_size];
    for (;;) {
        DWORD got = 0;
        if (!InternetReadFile(request, block, read_block_size, &got)) {
            error_text = "connection lost";
            return false;
        }
        if (got == 0)
            break;
        body.append(block, got);
        if (body.size() > text_limit) {
            error_text = "update list too large";
            return false;
        }
    }
    if (has_length && body.size() < announced) {
        error_text = "connection lost";
        return false;
    }
    return true;
}

bool fetch_text(HINTERNET session, const char* url, std::string& text, std::string& error_text)
{
    HttpRequest http;
    if (!open_http_request(session, url, fetch_flags, "", http, error_text))
        return false;
    unsigned long status = response_status(http.request);
    if (status != status_ok) {
        close_http_request(http);
        error_text = status_failure_text(status);
        return false;
    }
    std::string body;
    bool whole = read_body(http.request, body, error_text);
    close_http_request(http);
    if (!whole)
        return false;
    text.swap(body);
    return true;
}
