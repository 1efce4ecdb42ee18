// The reason text of a failed CNG call, shared by every user of bcrypt.dll.
#pragma once

#include <string>

// "<call> failed with 0x<NTSTATUS in hex>": the call first, as every failure names what failed.
std::string cng_failure(const char* call, long status);
