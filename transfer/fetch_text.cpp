// The text fetch of the update list: one GET past the local cache and proxies, the status check,
// and a body that counts only when it arrived whole.
#include "transfer/fetch_text.h"

#include "transfer/http_request.h"
#include "transfer/http_response.h"

// RELOAD | NO_CACHE_WRITE | NO_UI | PRAGMA_NOCACHE: always from the origin, never a dialog.
static const DWORD fetch_flags = 0x84000300;
// The same without the no-cache pragma, for an address that names its version.
static const DWORD versioned_flags = 0x84000200;
static const DWORD read_block_size = 16384;
static const size_t text_limit = 16 * 1024 * 1024;
static const unsigned long status_ok = 200;

// Reads the body into `body`. A short body is a lost connection, not an end: WinINet reports a
// connection that drops before the announced length as a clean end of the body.
static bool read_body(HINTERNET request, size_t limit, const char* too_large, std::string& body,
                      std::string& error_text)
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
        if (body.size() > limit) {
            error_text = too_large;
            return false;
        }
    }
    if (has_length && body.size() < announced) {
        error_text = "connection lost";
        return false;
    }
    return true;
}

static bool fetch_body(HINTERNET session, const std::string& url, DWORD flags, size_t limit, const char* too_large,
                       std::string& body, std::string& error_text)
{
    HttpRequest http;
    if (!open_http_request(session, url, flags, "", http, error_text))
        return false;
    unsigned long status = response_status(http.request);
    if (status != status_ok) {
        close_http_request(http);
        error_text = status_failure_text(status);
        return false;
    }
    std::string read;
    bool whole = read_body(http.request, limit, too_large, read, error_text);
    close_http_request(http);
    if (!whole)
        return false;
    body.swap(read);
    return true;
}

bool fetch_text(HINTERNET session, const char* url, std::string& text, std::string& error_text)
{
    return fetch_body(session, url, fetch_flags, text_limit, "update list too large", text, error_text);
}

bool fetch_limited(HINTERNET session, const std::string& url, size_t limit, std::string& body,
                   std::string& error_text)
{
    return fetch_body(session, url, versioned_flags, limit, "answer too large", body, error_text);
}
