// The platform part of make_manifest: listing a release folder, and a standard output that
// passes line feeds through unchanged.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ReleaseFile {
    std::string path;  // relative to the release folder, "/" between names
    uint64_t size;     // bytes, as the folder listing reports them
};

// Lists every file below `root`, in no particular order; folders themselves are not listed.
// False with a reason naming the entry when something is neither a file nor a folder or can't
// be read.
bool list_release_files(const std::string& root, std::vector<ReleaseFile>& files, std::string& error_text);

// Makes stdout write bytes as given, so the list text is the same on every platform.
void use_binary_stdout();
