// Formats a failed CNG call's status.
#include "digest/cng_failure.h"

#include <cstdio>

std::string cng_failure(const char* call, long status)
{
    char text[96];
    std::snprintf(text, sizeof text, "%s failed with 0x%08lX", call, static_cast<unsigned long>(status));
    return text;
}
