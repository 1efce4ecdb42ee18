// One range of a listed file, asked for with a single-range request and taken only when the
// server answers with exactly those bytes of exactly that file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "transfer/download.h"

// Where the bytes of a range go: `write` puts `length` bytes at `offset` of the file being built
// and returns false when they can't be written. Called on the fetching thread.
struct RangeSink {
    bool (*write)(void* context, uint64_t offset, const void* bytes, size_t length);
    void* context;  // the caller's, handed back with every call
};

enum class RangeAnswer {
    received,  // every byte of the range went to the sink
    refused,   // the server answered otherwise: another status (a 200 above all, which many servers
               // send instead of a range), another range, another file size, another version
    failed,    // the transfer broke off or the sink could not write; the reason says which
};

// Asks for bytes [offset, offset + length) of `file` ("Range: bytes=a-b", never several ranges in
// one request, which many servers and CDNs answer with the whole file), with "If-Range" when
// `validator` is not empty, so that a file that changed on the server meanwhile is refused
// rather than mixed; an empty `validator` takes the answer's. Only a 206 whose Content-Range is
// exactly that range of a file of the listed size is received.
RangeAnswer fetch_range(const DownloadSource& source, const ListedFile& file, uint64_t offset, uint64_t length,
                        std::string& validator, const RangeSink& sink, std::string& error_text);
