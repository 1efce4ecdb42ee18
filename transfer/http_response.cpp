// Header queries on an open WinINet request, and the reasons a player reads for a request that
// failed or was refused, shared by the text fetch and the file download.
#include "transfer/http_response.h"

#include <cstdio>
#include <cstdlib>

unsigned long response_status(HINTERNET request)
{
    DWORD status = 0;
    DWORD status_size = sizeof(status);
    HttpQueryInfoA(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &status_size,
                   NULL);
    return status;
}

// The text form is read rather than a number: the 32-bit number form can't hold a file above
// 4 GiB, and the 64-bit one is missing from older WinINet versions.
bool response_length(HINTERNET request, uint64_t& length)
{
    char text[32];
    DWORD text_size = sizeof(text);
    if (!HttpQueryInfoA(request, HTTP_QUERY_CONTENT_LENGTH, text, &text_size, NULL))
        return false;
    if (text_size == 0 || text_size >= sizeof(text))
        return false;
    text[text_size] = '\0';
    for (DWORD i = 0; i < text_size; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
    }
    length = _strtoui64(text, NULL, 10);
    return true;
}

static bool query_text(HINTERNET request, DWORD query, std::string& text)
{
    char value[256];
    DWORD size = sizeof(value);
    if (!HttpQueryInfoA(request, query, value, &size, NULL) || size == 0 || size >= sizeof(value))
        return false;
    text.assign(value, size);
    return true;
}

// A weak ETag ("W/...") may name several versions, so it can't vouch that a range continues the
// same bytes; If-Range takes only a strong one.
bool response_validator(HINTERNET request, std::string& validator)
{
    std::string etag;
    if (query_text(request, HTTP_QUERY_ETAG, etag) && etag[0] == '"') {
        validator = etag;
        return true;
    }
    return query_text(request, HTTP_QUERY_LAST_MODIFIED, validator);
}

static std::string reason_with_number(const char* format, unsigned long number)
{
    char reason[32];
    snprintf(reason, sizeof(reason), format, number);
    return reason;
}

struct FailureReason {
    unsigned long error;  // the stack's error number
    const char* reason;   // what the player reads instead
};

// The failures a player can meet, in words. Where wine gives another number than Windows for the
// same case, both are here; the comments say which is whose (measured with wine 8.0).
static const FailureReason failure_reasons[] = {
    {ERROR_INTERNET_NAME_NOT_RESOLVED, "server name not found"},
    {ERROR_INTERNET_CANNOT_CONNECT, "connection refused"},
    {ERROR_INTERNET_TIMEOUT, "no answer from the server"},
    // Windows: the connection ended before an answer. Wine also gives it for an answer that never
    // came within the time-out, where Windows gives ERROR_INTERNET_TIMEOUT.
    {ERROR_INTERNET_CONNECTION_ABORTED, "no answer from the server"},
    // No TLS on the other side, or no version or cipher in common (wine offers no TLS 1.3).
    {ERROR_INTERNET_SECURITY_CHANNEL_ERROR, "secure connection failed"},
    // The chain ends at a root the PC does not trust: the server sends it along, or it is the
    // server's own certificate. Wine 8.0 also gives it for about one ECDSA-signed certificate in
    // 128: it refuses ECDSA signatures whose r or s is shorter than the curve's size.
    {ERROR_INTERNET_INVALID_CA, "certificate not trusted"},
    // Windows: the CA could not be asked whether the certificate was revoked. Wine gives it for
    // a chain that reaches no root at all (the server sends no intermediate certificates, or
    // its CA is unknown), which its own tests say Windows does too.
    {ERROR_INTERNET_SEC_CERT_REV_FAILED, "certificate can't be checked"},
    // Expired, or not valid yet: also what a PC whose clock is wrong sees.
    {ERROR_INTERNET_SEC_CERT_DATE_INVALID, "certificate expired"},
    {ERROR_INTERNET_SEC_CERT_CN_INVALID, "certificate for another name"},
    {ERROR_INTERNET_SEC_CERT_REVOKED, "certificate revoked"},
    {ERROR_INTERNET_SEC_INVALID_CERT, "certificate not valid"},
    {ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR, "redirected from HTTPS to HTTP"},
};

std::string open_failure_text(unsigned long error)
{
    for (const FailureReason& known : failure_reasons) {
        if (known.error == error)
            return known.reason;
    }
    return reason_with_number("error %lu", error);
}

std::string status_failure_text(unsigned long status)
{
    return reason_with_number("HTTP %lu", status);
}
