// The free space of a folder's volume, against what a caller means to reserve there.
#include "platform/disk_space.h"

#include <windows.h>

bool may_reserve(const std::string& folder, uint64_t bytes, std::string& error_text)
{
    ULARGE_INTEGER available;
    if (!GetDiskFreeSpaceExA(folder.c_str(), &available, NULL, NULL) || bytes <= available.QuadPart)
        return true;
    error_text = "not enough free disk space";
    return false;
}
