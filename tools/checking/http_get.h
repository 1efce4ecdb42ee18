// The GET requests of make_manifest verify, made as the launcher makes its own (its user agent,
// its redirection rule, its time-outs, certificates always checked), and the connections they
// run on. Behind it: libcurl natively (http_get_curl.cpp), the launcher's WinINet code on
// Windows (http_get_wininet.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "transfer/content_range.h"

// Where a streamed body goes, block by block; false from `take` cuts the transfer there.
struct BodySink {
    bool (*take)(void* context, const char* data, size_t length);
    void* context;
};

// What becomes of the body of a 200 or 206 answer; the bodies of other answers are skipped.
enum class BodyUse {
    skip,    // not read: a small one is read and dropped so the connection serves the next request
    keep,    // read into HttpAnswer::body
    stream,  // handed to HttpAsk::sink
};

// A single-range request as the launcher sends one.
struct AskedRange {
    bool asked;            // sends "Range: bytes=<first>-<last>"
    uint64_t first;
    uint64_t last;
    std::string if_range;  // sent as "If-Range" when not empty: the validator of an earlier answer
};

struct HttpAsk {
    std::string url;
    AskedRange range;      // bytes 0-0 tell a file's size in one byte of body
    bool past_caches;      // asks every cache on the way for a fresh answer, as the list fetch does
    BodyUse body;
    uint64_t body_limit;   // BodyUse::keep: a longer body is a failure
    BodySink sink;         // BodyUse::stream
};

// What one request returned.
struct HttpAnswer {
    unsigned long status;   // of the final answer, after redirections; 0 when none came
    bool has_range;         // a 206 whose Content-Range the launcher can read
    ContentRange range;     // that range and the file's size
    bool has_length;        // the answer announced a Content-Length
    uint64_t length;        // its value
    std::string validator;  // what the launcher sends back as "If-Range": a strong ETag, else the
                            // Last-Modified date; empty when the answer has neither
    std::string body;       // BodyUse::keep: the body
    uint64_t received;      // body bytes that arrived, read or dropped, redirections included
    std::string failure;    // why no whole answer came; empty when one did
};

// One connection's state, the platform's own: a libcurl handle, or a WinINet session.
struct HttpClient;

// True when an answer came, whatever its status, and its body was used as asked (or cut by the
// sink); false with `answer.failure` otherwise.
bool http_get(HttpClient& client, const HttpAsk& ask, HttpAnswer& answer);

// What runs on each connection, and what the calling thread does meanwhile.
struct ConnectionWork {
    void (*run)(void* context, HttpClient& client);  // on each connection's own thread
    void (*tick)(void* context);                     // on the calling thread, every tick_ms
    void* context;
};

const unsigned tick_ms = 200;

// Opens `count` connections, each on a thread of its own, runs `work.run` on every one and
// returns once all have returned. False with the reason when not one could be started.
bool run_connections(int count, const ConnectionWork& work, std::string& error_text);
