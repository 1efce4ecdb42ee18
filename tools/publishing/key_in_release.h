// Keeps the studio's signing key out of what it publishes: every player fetches what a list
// names, and whatever lies in the release folder goes to the server, so a file of make_manifest's
// key format anywhere in that folder, under any name, stops the release.
#pragma once

#include <string>
#include <vector>

#include "tools/publishing/release_walk.h"

// Appends one refusal ("<path>: <reason>") for every file of `files` below `root` that holds a
// private key of make_manifest's format, the --sign-key's own (`signing_private`, its 32 secret
// bytes; empty for an unsigned list) named as such. Only files small enough to be a key file are
// read. True when there is none.
bool find_key_files(const std::string& root, const std::vector<ReleaseFile>& files,
                    const std::string& signing_private, std::vector<std::string>& refusals);
