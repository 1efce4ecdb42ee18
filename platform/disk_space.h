// Whether the disk that holds a folder has room for what is about to be set aside there: the one
// question every caller that reserves space ahead of its bytes asks first.
#pragma once

#include <cstdint>
#include <string>

// How many of `bytes` do not fit in the free space of `folder`'s volume (a full path, ending in
// "\" or not) that this user may take (quotas count): 0 when they all fit. A volume whose free
// space the system can't tell is given the benefit of the doubt (0): the write itself then says
// whether the bytes fit.
uint64_t bytes_short_of_room(const std::string& folder, uint64_t bytes);

// The reason may_reserve gives.
extern const char no_room_reason[];

// True when `bytes` more may be reserved in `folder`; false with no_room_reason.
bool may_reserve(const std::string& folder, uint64_t bytes, std::string& error_text);
