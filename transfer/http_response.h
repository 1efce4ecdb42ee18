// What both transfers read from a response's headers: the status and the announced body length.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <cstdint>

// The numeric status of the final response (after redirections); 0 when it can't be queried.
unsigned long response_status(HINTERNET request);

// True with the Content-Length when the response announces one; false for a body that ends where
// the connection says it ends (chunked or close-delimited).
bool response_length(HINTERNET request, uint64_t& length);
