// The free space of a folder's volume, against what a caller means to reserve there.
#include "platform/disk_space.h"

#include <windows.h>

const char no_room_reason[] = "not enough free disk space";

uint64_t bytes_short_of_room(const std::string& folder, uint64_t bytes)
{
    ULARGE_INTEGER available;
    if (!GetDiskFreeSpaceExA(folder.c_str(), &available, NULL, NULL) || bytes <= available.QuadPart)
        return 0;
    return bytes - available.QuadPart;
}

bool may_reserve(const std::string& folder, uint64_t bytes, std::string& error_text)
{
    if (bytes_short_of_room(folder, bytes) == 0)
        return true;
    error_text = no_room_reason;
    return false;
}
