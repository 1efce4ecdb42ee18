// The "launcher.cache" file: reading its loose line format and its text in key order.
#include "update_list/hash_cache.h"

#include <cstdio>
#include <cstring>

#include "update_list/decimal.h"

// Lines are read through a buffer of this size, so a longer line arrives in pieces of at most
// 599 bytes and each piece is read as a line of its own. Keys are paths of at most 240 bytes,
// so only a damaged or hand-made file has such lines, and every build reads them alike.
static const int line_buffer_size = 600;
static const int fields_before_digest = 3;

std::string cache_key(const std::string& path)
{
    std::string key = path;
    for (char& byte : key) {
        if (byte >= 'A' && byte <= 'Z') {
            byte = static_cast<char>(byte - 'A' + 'a');
        }
    }
    return key;
}

// A piece with fewer than three "|" is skipped; the digest field keeps any further "|".
static void read_cache_line(const char* line, HashCache& cache)
{
    const char* end = line + std::strlen(line);
    const char* bars[fields_before_digest];
    const char* at = line;
    for (int i = 0; i < fields_before_digest; ++i) {
        at = static_cast<const char*>(std::memchr(at, '|', static_cast<size_t>(end - at)));
        if (at == nullptr) {
            return;
        }
        bars[i] = at;
        ++at;
    }
    const char* digest_end = end;
    while (digest_end != at && (digest_end[-1] == '\r' || digest_end[-1] == '\n')) {
        --digest_end;
    }
    CacheRecord record;
    record.size = read_unsigned_decimal(bars[0] + 1, bars[1]);
    record.write_time = read_unsigned_decimal(bars[1] + 1, bars[2]);
    record.md5.assign(at, digest_end);
    cache[std::string(line, bars[0])] = record;
}

void read_hash_cache_file(const std::string& file_name, HashCache& cache)
{
    FILE* file = std::fopen(file_name.c_str(), "rb");
    if (file == nullptr) {
        return;
    }
    char line[line_buffer_size];
    while (std::fgets(line, line_buffer_size, file) != nullptr) {
        read_cache_line(line, cache);
    }
    std::fclose(file);
}

// The numbers are formatted by the C++ library rather than printf, whose 64-bit conversions
// differ between runtimes; the bytes are the same on every build.
std::string hash_cache_text(const HashCache& cache)
{
    std::string text;
    for (const auto& item : cache) {
        text += item.first;
        text += '|';
        text += std::to_string(item.second.size);
        text += '|';
        text += std::to_string(item.second.write_time);
        text += '|';
        text += item.second.md5;
        text += '\n';
    }
    return text;
}
