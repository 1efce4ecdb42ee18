// The digest cache: its records and the "launcher.cache" file format.
#pragma once

#include <cstdint>
#include <map>
#include <string>

struct CacheRecord {
    uint64_t size;        // file size in bytes when the record was made
    uint64_t write_time;  // last-write FILETIME (high << 32 | low) when the record was made
    std::string md5;      // digest text found then (from the file: whatever the line held)
};

// Keyed by cache_key(); ordered byte-wise, which is also the order of the file's lines.
using HashCache = std::map<std::string, CacheRecord>;

// The entry path with ASCII letters lower-cased; separators are not converted.
std::string cache_key(const std::string& path);

// Adds the records of `file_name` to `cache`; a missing file adds nothing.
void read_hash_cache_file(const std::string& file_name, HashCache& cache);

// One "key|size|write_time|md5" line per record, in key order: the file's whole text, which the
// launcher replaces whole (save_hash_cache), never in place.
std::string hash_cache_text(const HashCache& cache);
