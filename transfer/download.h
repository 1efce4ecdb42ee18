// Downloading one listed file beside its place and verifying it there.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <cstdint>
#include <string>

#include "transfer/listed_file.h"

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

// Fetches `file` from the server into `target` + ".part" (a full path below the game folder) and
// verifies it (verify_listed_file), telling `progress` of every block on the way; the verified
// part is flushed and stays there for the switch to move it over `target`, which this never
// touches. False with the reason in `error_text` when the file did not arrive whole and verified.
// A transfer that broke off keeps its part, and the next call asks only for the bytes after it,
// on condition that the server still serves the answer the part began with (If-Range with that
// answer's validator, kept beside the part in `target` + ".part.tag"). A part that already holds
// the whole file is verified again and kept without a request. Every other failure deletes the
// part. Each call has its own buffer and digests, so several may run at once on different targets.
bool download_file(const DownloadSource& source, const ListedFile& file, const std::string& target,
                   const TransferSink& progress, std::string& error_text);
