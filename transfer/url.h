// Percent-encoding of a list path for a download URL.
#pragma once

#include <string>

// Letters, digits and "-._~/" pass; every other byte becomes "%XX" in upper-case hex.
std::string percent_encode(const std::string& path);
