// Reading and replacing whole files with the C runtime, the same on every platform.
#include "tools/whole_file.h"

#include <cstdio>

static const size_t read_piece_length = 65536;

bool read_whole_file(const std::string& name, std::string& bytes, std::string& error_text)
{
    FILE* file = std::fopen(name.c_str(), "rb");
    if (file == nullptr) {
        error_text = name + ": can't open";
        return false;
    }
    bytes.clear();
    char piece[read_piece_length];
    size_t count;
    while ((count = std::fread(piece, 1, sizeof piece, file)) > 0) {
        bytes.append(piece, count);
    }
    bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) {
        error_text = name + ": read error";
        return false;
    }
    return true;
}

bool replace_whole_file(const std::string& name, const std::string& bytes, std::string& error_text)
{
    std::string temporary = name + ".tmp";
    FILE* file = std::fopen(temporary.c_str(), "wb");
    if (file == nullptr) {
        error_text = temporary + ": can't create";
        return false;
    }
    bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    written = std::fclose(file) == 0 && written;
    if (written && std::rename(temporary.c_str(), name.c_str()) != 0) {
        // The Windows runtime refuses to rename over an existing file.
        std::remove(name.c_str());
        written = std::rename(temporary.c_str(), name.c_str()) == 0;
    }
    if (!written) {
        std::remove(temporary.c_str());
        error_text = name + ": can't write";
        return false;
    }
    return true;
}
