// Whether the disk that holds a folder has room for what is about to be set aside there: the one
// question every caller that reserves space ahead of its bytes asks first.
#pragma once

#include <cstdint>
#include <string>

// True when `bytes` more may be reserved in `folder` (a full path, ending in "\" or not): they fit
// in the free space of its volume that this user may take (quotas count). False with "not enough
// free disk space" otherwise. A volume whose free space the system can't tell is given the
// benefit of the doubt: the write itself then says whether the bytes fit.
bool may_reserve(const std::string& folder, uint64_t bytes, std::string& error_text);
