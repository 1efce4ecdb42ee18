// How the launcher addresses the update server: the list's and each file's URL, the
// percent-encoding of list paths, and the name it gives itself. make_manifest's verify makes the
// same requests from these, so what it checks is what every launcher asks for.
#pragma once

#include <cstdint>
#include <string>

#include "transfer/listed_file.h"

// The User-Agent of every request.
extern const char launcher_user_agent[];

// Letters, digits and "-._~/" pass; every other byte becomes "%XX" in upper-case hex.
std::string percent_encode(const std::string& path);

// `base_url` (ending in "/") + "manifest.txt?t=" + `stamp`: a stamp that differs on every fetch
// makes the URL new to any cache on the way.
std::string list_url(const std::string& base_url, uint64_t stamp);

// Where every request for the bytes of `file` goes (a whole download, a resumed part, a delta's
// ranges). Its object: `base_url` + the percent-encoded object location, with no query, since the
// name changes with the bytes and a query would only split what caches keep of one object.
// Without objects: `base_url` + the percent-encoded path + "?v=" + the MD5, so that a changed file
// gets a new URL at least for the caches that key on the query.
std::string file_url(const std::string& base_url, const ListedFile& file);
