// Fuzzes the "launcher.cache" reader with arbitrary files, and checks that every cache the
// launcher can build (keys from safe list paths, any digest text) reads back to the same map.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "update_list/hash_cache.h"
#include "update_list/safe_path.h"

static void require(bool condition)
{
    if (!condition)
        abort();
}

static std::string scratch_file()
{
    static std::string name = "/dev/shm/fuzz_cache_" + std::to_string(getpid());
    return name;
}

static void write_bytes(const std::string& name, const uint8_t* data, size_t size)
{
    FILE* file = fopen(name.c_str(), "wb");
    require(file != nullptr);
    require(fwrite(data, 1, size, file) == size);
    fclose(file);
}

static bool same_cache(const HashCache& a, const HashCache& b)
{
    if (a.size() != b.size())
        return false;
    for (auto ia = a.begin(), ib = b.begin(); ia != a.end(); ++ia, ++ib) {
        if (ia->first != ib->first || ia->second.size != ib->second.size ||
            ia->second.write_time != ib->second.write_time || ia->second.md5 != ib->second.md5)
            return false;
    }
    return true;
}

static uint64_t take_number(const uint8_t*& data, size_t& size)
{
    uint64_t value = 0;
    for (int i = 0; i < 8 && size > 0; ++i, ++data, --size)
        value = value << 8 | *data;
    return value;
}

// Splits the input into records: "path\0digest\0" then 16 bytes of numbers, repeated.
static HashCache cache_from(const uint8_t* data, size_t size)
{
    HashCache cache;
    while (size > 0) {
        const uint8_t* end = static_cast<const uint8_t*>(memchr(data, 0, size));
        size_t path_length = end ? size_t(end - data) : size;
        std::string path(reinterpret_cast<const char*>(data), path_length);
        data += path_length + (end ? 1 : 0);
        size -= path_length + (end ? 1 : 0);
        end = static_cast<const uint8_t*>(memchr(data, 0, size));
        size_t digest_length = end ? size_t(end - data) : size;
        std::string digest(reinterpret_cast<const char*>(data), digest_length < 64 ? digest_length : 64);
        data += digest_length + (end ? 1 : 0);
        size -= digest_length + (end ? 1 : 0);
        CacheRecord record;
        record.size = take_number(data, size);
        record.write_time = take_number(data, size);
        record.md5 = digest;
        // A digest text comes from our own hashing or from an earlier line: never a line feed,
        // a NUL, or a trailing carriage return.
        bool digest_possible = digest.find('\n') == std::string::npos && (digest.empty() || digest.back() != '\r');
        if (is_safe_relative_path(path.data(), path.size()) && digest_possible)
            cache[cache_key(path)] = record;
    }
    return cache;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string name = scratch_file();

    write_bytes(name, data, size);
    HashCache loaded;
    read_hash_cache_file(name, loaded);

    HashCache built = cache_from(data, size);
    std::string text = hash_cache_text(built);
    write_bytes(name, reinterpret_cast<const uint8_t*>(text.data()), text.size());
    HashCache reread;
    read_hash_cache_file(name, reread);
    require(same_cache(built, reread));
    return 0;
}
