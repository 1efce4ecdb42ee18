// Fetching one small text (the update list) over HTTP or HTTPS, past every cache.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <string>

// Fetches `url` through `session`. True with the whole body in `text` when the server answered
// 200 and every announced byte arrived; otherwise false with the reason in `error_text` and
// `text` untouched.
bool fetch_text(HINTERNET session, const char* url, std::string& text, std::string& error_text);
