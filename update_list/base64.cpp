// Strict base64 decoding and its encoding, for the signature line and the keys.
#include "update_list/base64.h"

#include <cstdint>

static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
static const int not_base64 = -1;

static int sextet_of(char symbol)
{
    if (symbol >= 'A' && symbol <= 'Z') {
        return symbol - 'A';
    }
    if (symbol >= 'a' && symbol <= 'z') {
        return symbol - 'a' + 26;
    }
    if (symbol >= '0' && symbol <= '9') {
        return symbol - '0' + 52;
    }
    if (symbol == '+') {
        return 62;
    }
    if (symbol == '/') {
        return 63;
    }
    return not_base64;
}

bool decode_base64(const char* text, size_t length, std::string& bytes)
{
    if (length % 4 != 0) {
        return false;
    }
    size_t padding = 0;
    if (length > 0 && text[length - 1] == '=') {
        padding = text[length - 2] == '=' ? 2 : 1;
    }
    std::string out;
    out.reserve(length / 4 * 3);
    uint32_t bits = 0;
    for (size_t i = 0; i < length - padding; ++i) {
        int sextet = sextet_of(text[i]);
        if (sextet == not_base64) {
            return false;
        }
        bits = (bits << 6) | static_cast<uint32_t>(sextet);
        if (i % 4 == 3) {
            out += static_cast<char>(bits >> 16);
            out += static_cast<char>(bits >> 8);
            out += static_cast<char>(bits);
            bits = 0;
        }
    }
    // The last group holds 2 symbols for one byte or 3 for two; the bits past them must be zero.
    if (padding == 2) {
        if ((bits & 0xF) != 0) {
            return false;
        }
        out += static_cast<char>(bits >> 4);
    } else if (padding == 1) {
        if ((bits & 0x3) != 0) {
            return false;
        }
        out += static_cast<char>(bits >> 10);
        out += static_cast<char>(bits >> 2);
    }
    bytes.swap(out);
    return true;
}

std::string encode_base64(const std::string& bytes)
{
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        uint32_t bits = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16 |
                        static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8 |
                        static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 2]));
        text += alphabet[bits >> 18];
        text += alphabet[(bits >> 12) & 63];
        text += alphabet[(bits >> 6) & 63];
        text += alphabet[bits & 63];
    }
    size_t rest = bytes.size() - i;
    if (rest > 0) {
        uint32_t bits = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
        if (rest == 2) {
            bits |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
        }
        text += alphabet[bits >> 18];
        text += alphabet[(bits >> 12) & 63];
        text += rest == 2 ? alphabet[(bits >> 6) & 63] : '=';
        text += '=';
    }
    return text;
}
