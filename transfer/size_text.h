// The short size text of status and progress lines.
#pragma once

#include <cstdint>
#include <string>

// "%.0f KB" up to 1,048,575 bytes, "%.1f MB" above; rounded as glibc's printf rounds the
// exact value (ties to even), with the same text on every runtime.
std::string format_size(uint64_t bytes);
