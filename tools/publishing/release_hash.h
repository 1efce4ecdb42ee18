// Hashing the files of a release folder with the launcher's own MD5, SHA-256 for a signed list and
// the block map of a large file, reading each file once, with progress on stderr.
#pragma once

#include <cstdint>
#include <string>

struct HashProgress {
    uint64_t files_done;    // files hashed so far
    uint64_t files_total;   // files to hash
    uint64_t bytes_done;    // bytes hashed so far, across files
    uint64_t bytes_total;   // bytes of all files as the walk found them
    double started;         // seconds on the steady clock when hashing began
    double last_report;     // seconds on the steady clock of the last progress line
    bool quiet;             // no progress lines at all
};

void start_hash_progress(uint64_t files_total, uint64_t bytes_total, bool quiet, HashProgress& progress);

// What digest_file computes besides the MD5.
struct DigestRequest {
    bool sha256;     // the SHA-256 too, for a signed list
    bool block_map;  // the block map too, written on a second thread while the first hashes
    uint64_t size;   // the size the folder's walk found, which sets the map's layout
};

struct FileDigests {
    std::string md5;     // 32 lower-case hex digits
    std::string sha256;  // 64 lower-case hex digits; empty when not asked for
    uint64_t size;       // bytes read
    // The map's bytes; empty when not asked for or when the file's size was not the walk's.
    std::string block_map = {};
};

// Reads the file once and gives the digests asked for and the number of bytes read; false with
// the reason when it can't be opened or read, or a thread can't be started.
bool digest_file(const std::string& full_path, const DigestRequest& request, HashProgress& progress,
                 FileDigests& digests, std::string& error_text);

// The closing line: files, bytes, seconds and MB/s of the whole run.
void finish_hash_progress(const HashProgress& progress);
