// Reading a 206 answer's "Content-Range" header.
#include "transfer/content_range.h"

#include <cstring>

static const char unit_prefix[] = "bytes ";

// Digits up to `stop`; moves `at` past `stop`. Leading zeros are allowed, a value past 64 bits
// is not.
static bool read_number(const char*& at, char stop, uint64_t& value)
{
    const char* begin = at;
    uint64_t number = 0;
    for (; *at >= '0' && *at <= '9'; ++at) {
        uint64_t digit = static_cast<uint64_t>(*at - '0');
        if (number > (UINT64_MAX - digit) / 10) {
            return false;
        }
        number = number * 10 + digit;
    }
    if (at == begin || *at != stop) {
        return false;
    }
    ++at;
    value = number;
    return true;
}

bool parse_content_range(const char* text, ContentRange& range)
{
    if (std::strncmp(text, unit_prefix, sizeof unit_prefix - 1) != 0) {
        return false;
    }
    const char* at = text + sizeof unit_prefix - 1;
    ContentRange read;
    if (!read_number(at, '-', read.first) || !read_number(at, '/', read.last) ||
        !read_number(at, '\0', read.total)) {
        return false;
    }
    if (read.first > read.last || read.last >= read.total) {
        return false;
    }
    range = read;
    return true;
}
