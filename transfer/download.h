// Downloading one listed file beside its place, verifying it, and moving it over the old one.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <cstdint>
#include <string>

// What a download needs of a listed file: where it is and what it must be.
struct ListedFile {
    std::string path;    // relative path as the list names it; the address is made from it
    std::string md5;     // 32 lower-case hex digits; also the "?v=" of the address
    uint64_t size;       // bytes
    std::string sha256;  // 64 lower-case hex digits from a signed list; empty when unsigned
};

// Where a download comes from and where it may make folders.
struct DownloadSource {
    HINTERNET session;     // the open internet session every request goes through
    std::string base_url;  // the update server's address, ends in "/"
    std::string folder;    // the game folder, ends in "\"; missing folders are made below it only
};

// How a download tells its caller how far it has come, after every block it receives. It runs on
// the download's own thread; whoever runs several downloads at once gives each a sink of its own.
struct TransferSink {
    // `on_hand`: the bytes of the file received so far; `arrived`: how many of them came in this
    // call, for the speed.
    void (*received)(void* context, uint64_t on_hand, uint64_t arrived);
    void* context;  // the caller's, handed back with every call
};

// Fetches `entry` from the server into `target` + ".part" (a full path below the game folder),
// checks its size and MD5 digest, and only then replaces `target`, telling `progress` of every
// block on the way. False with the reason in `error_text` when the file did not arrive whole and
// verified; `target` is untouched then. A transfer that broke off keeps its part file, and the
// next call asks only for the bytes after it; every other failure deletes the part. Each call
// has its own buffer and digests, so several may run at once on different targets.
bool download_file(const DownloadSource& source, const ListedFile& entry, const std::string& target,
                   const TransferSink& progress, std::string& error_text);
