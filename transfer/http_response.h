// What both transfers read from a response's headers (the status and the announced body length),
// and the reasons they give when a request can't be opened or is refused.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <cstdint>
#include <string>

// The numeric status of the final response (after redirections); 0 when it can't be queried.
unsigned long response_status(HINTERNET request);

// True with the Content-Length when the response announces one; false for a body that ends where
// the connection says it ends (chunked or close-delimited).
bool response_length(HINTERNET request, uint64_t& length);

// What identifies the version of the answer's file for a later "If-Range": its ETag when that is
// a strong one, else its Last-Modified date. False when the answer carries neither.
bool response_validator(HINTERNET request, std::string& validator);

// Why a request couldn't be opened: a few words for the failures a player can meet (an
// unreachable or silent server, a refused certificate, a failed handshake), otherwise "error %lu"
// with the stack's own error number, for support. No reason contains "in use", which stops the
// download retries.
std::string open_failure_text(unsigned long error);

// "HTTP %lu" with the status, for a response other than 200.
std::string status_failure_text(unsigned long status);
