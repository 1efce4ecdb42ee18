// Well-formed UTF-8, cuts at character boundaries and UTF-16 files read as UTF-8.
#include "update_list/utf8_text.h"

#include <cstdint>

// The length of the well-formed sequence at text[at], or 0 with the reason it is not one.
static size_t sequence_length(const unsigned char* text, size_t size, size_t at, const char*& reason)
{
    unsigned char lead = text[at];
    if (lead < 0x80)
        return 1;
    size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
    if (length == 0) {
        reason = "a continuation byte that follows no lead byte";
        return 0;
    }
    if (lead >= 0xF8) {
        reason = "a byte that never occurs in UTF-8";
        return 0;
    }
    for (size_t i = 1; i < length; ++i) {
        if (at + i >= size || (text[at + i] & 0xC0) != 0x80) {
            reason = "a sequence cut short";
            return 0;
        }
    }
    uint32_t code = lead & (0x7F >> length);
    for (size_t i = 1; i < length; ++i)
        code = (code << 6) | (text[at + i] & 0x3F);
    static const uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < smallest[length]) {
        reason = "an overlong form";
        return 0;
    }
    if (code >= 0xD800 && code <= 0xDFFF) {
        reason = "a surrogate";
        return 0;
    }
    if (code > 0x10FFFF) {
        reason = "a code point above U+10FFFF";
        return 0;
    }
    return length;
}

bool check_utf8(const char* text, size_t size, std::string& error_text)
{
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
    for (size_t at = 0; at < size;) {
        const char* reason = "";
        size_t length = sequence_length(bytes, size, at, reason);
        if (length == 0) {
            error_text = "byte " + std::to_string(at + 1) + ": " + reason;
            return false;
        }
        at += length;
    }
    return true;
}

bool is_valid_utf8(const char* text, size_t size)
{
    std::string reason;
    return check_utf8(text, size, reason);
}

size_t utf8_prefix_size(const char* text, size_t size, size_t characters)
{
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
    size_t at = 0;
    for (; at < size && characters > 0; --characters) {
        const char* reason = "";
        size_t length = sequence_length(bytes, size, at, reason);
        at += length == 0 ? 1 : length;
    }
    return at;
}

static void append_utf8(std::string& out, uint32_t code)
{
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

std::string utf8_from_utf16le(const char* bytes, size_t size)
{
    const unsigned char* data = reinterpret_cast<const unsigned char*>(bytes);
    size_t units = size / 2;
    std::string out;
    for (size_t i = 0; i < units; ++i) {
        uint32_t unit = data[2 * i] | (data[2 * i + 1] << 8);
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < units) {
            uint32_t low = data[2 * i + 2] | (data[2 * i + 3] << 8);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                append_utf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
                ++i;
                continue;
            }
        }
        append_utf8(out, unit >= 0xD800 && unit <= 0xDFFF ? 0xFFFD : unit);
    }
    return out;
}
