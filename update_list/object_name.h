// The names under which a release's bytes are published once, whatever paths list them: shared by
// the launcher, which fetches from them, and make_manifest, which stores and prunes them.
#pragma once

#include <cstdint>
#include <string>

// The name of the object that holds the bytes of a file with MD5 `md5` (as the list writes it)
// and `size`: "<md5>-<size>".
std::string object_name(const std::string& md5, uint64_t size);

// Where those bytes lie relative to the list's address: `folder` (the list's "Objects" value,
// ending in "/") followed by object_name.
std::string object_location(const std::string& folder, const std::string& md5, uint64_t size);
