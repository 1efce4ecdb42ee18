// Reading a small file whole, for make_manifest's inputs.
#include "tools/whole_file.h"

#include <cstdio>

static const size_t read_block_size = 65536;

bool read_whole_file(const std::string& name, std::string& text, std::string& error_text)
{
    FILE* file = std::fopen(name.c_str(), "rb");
    if (file == nullptr) {
        error_text = name + ": can't open";
        return false;
    }
    text.clear();
    char block[read_block_size];
    size_t count;
    while ((count = std::fread(block, 1, sizeof block, file)) > 0) {
        text.append(block, count);
    }
    bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) {
        error_text = name + ": read error";
        return false;
    }
    return true;
}
