// The update server's addresses as the launcher forms them, and its user agent.
#include "transfer/url.h"

const char launcher_user_agent[] = "Tavrinor-Launcher/1.0";

static const char list_name[] = "manifest.txt";

static bool passes_unencoded(unsigned char byte)
{
    if ((byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') || (byte >= '0' && byte <= '9')) {
        return true;
    }
    return byte == '-' || byte == '.' || byte == '_' || byte == '~' || byte == '/';
}

std::string percent_encode(const std::string& path)
{
    static const char hex_digits[] = "0123456789ABCDEF";
    std::string encoded;
    encoded.reserve(path.size());
    for (char c : path) {
        unsigned char byte = static_cast<unsigned char>(c);
        if (passes_unencoded(byte)) {
            encoded += c;
        } else {
            encoded += '%';
            encoded += hex_digits[byte >> 4];
            encoded += hex_digits[byte & 0x0f];
        }
    }
    return encoded;
}

std::string list_url(const std::string& base_url, uint64_t stamp)
{
    return base_url + list_name + "?t=" + std::to_string(stamp);
}

std::string file_url(const std::string& base_url, const ListedFile& file)
{
    if (!file.object.empty()) {
        return base_url + percent_encode(file.object);
    }
    return base_url + percent_encode(file.path) + "?v=" + file.md5;
}
