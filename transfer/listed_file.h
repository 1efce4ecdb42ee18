// A listed file as the transfer sees it, the digests of bytes written for it, and the one verdict
// on whether those bytes are the listed file. Every way a file reaches its name (a fresh download,
// a resumed part, a whole part kept from an earlier attempt, a file rebuilt from blocks, the
// launcher's own replacement) goes through verify_listed_file, so no path can place a file on
// less than all of its digests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "digest/md5.h"
#include "digest/sha256.h"

// What the transfer needs of a list entry: where it is and what it must be.
struct ListedFile {
    std::string path;    // relative path as the list names it
    std::string md5;     // 32 lower-case hex digits; also the "?v=" of an address made from the path
    uint64_t size;       // bytes
    std::string sha256;  // 64 lower-case hex digits from a signed list; empty when unsigned
    // Where its bytes lie relative to the server's address when the list names objects; empty
    // when they lie at `path`. Its default lets four-field initialisations stay complete.
    std::string object = {};
};

// The digests of a file's bytes in their order, from its first byte on.
struct FileDigests {
    uint64_t size;            // bytes fed so far
    Md5Context md5;
    Sha256Context sha256;     // open while bytes are fed, when the listed file names a SHA-256
    std::string failure;      // why the system could not hash, when it could not
};

// Starts the digests of `file` from its first byte, releasing whatever they held before. Digests
// start as {} or after begin_digests; release_digests ends them on every path.
void begin_digests(const ListedFile& file, FileDigests& digests);
void feed_digests(FileDigests& digests, const void* bytes, size_t length);
void release_digests(FileDigests& digests);

// Completes the digests and tells whether the bytes fed are `file`: its size, its MD5 and, when
// the list names one, its SHA-256 (MD5 alone can be forged by a collision). False with the reason:
// the system's, when it could not hash (such bytes are not verified either), else "file damaged
// on the way". The digests must be begun again before they are fed more.
bool verify_listed_file(const ListedFile& file, FileDigests& digests, std::string& error_text);
