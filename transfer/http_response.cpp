// Header queries on an open WinINet request, shared by the text fetch and the file download.
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

std::string open_failure_text(unsigned long error)
{
    return reason_with_number("error %lu", error);
}

std::string status_failure_text(unsigned long status)
{
    return reason_with_number("HTTP %lu", status);
}
