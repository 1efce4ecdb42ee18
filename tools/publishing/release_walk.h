// The platform part of make_manifest: listing a release folder, making a folder in it, a standard
// output that passes line feeds through unchanged, and a new file that only its owner can read.
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

// Makes the folder `path` unless a folder of that name exists. False with the reason, also when
// something else holds the name.
bool make_folder(const std::string& path, std::string& error_text);

// Makes stdout write bytes as given, so the list text is the same on every platform.
void use_binary_stdout();

// Creates `name` with `text`, readable and writable by its owner only, and never over anything
// that exists under that name (a link included). False with the reason; a file left half-written
// is removed again.
bool create_private_file(const std::string& name, const std::string& text, std::string& error_text);
