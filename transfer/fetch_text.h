// Fetching one small text (the update list, a block map) over HTTP or HTTPS, past every cache.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <string>

// Fetches `url` through `session`. True with the whole body in `text` when the server answered
// 200 and every announced byte arrived; otherwise false with the reason in `error_text` and
// `text` untouched.
bool fetch_text(HINTERNET session, const char* url, std::string& text, std::string& error_text);

// Fetches `url` whole into `body` when it answers 200 with at most `limit` bytes; otherwise false
// with the reason ("answer too large" for a longer body) and `body` untouched. For files whose
// address names their version, so that no cache on the way needs to be told anything.
bool fetch_limited(HINTERNET session, const std::string& url, size_t limit, std::string& body,
                   std::string& error_text);
