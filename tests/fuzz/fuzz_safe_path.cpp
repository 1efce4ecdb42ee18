// Fuzzes the safe path rule against an independent model of Windows path resolution: an
// accepted path never leaves the folder, names no drive or stream, holds no refused byte and is
// well-formed UTF-8.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "tests/fuzz/path_model.h"
#include "update_list/safe_path.h"

static void require(bool condition)
{
    if (!condition)
        abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const char* path = reinterpret_cast<const char*>(data);
    if (!is_safe_relative_path(path, size))
        return 0;
    std::string text(path, size);
    require(size >= 1 && size <= 240);
    require(stays_inside_folder(text));
    require(is_well_formed_utf8(text));
    for (unsigned char c : text) {
        require(c >= 0x20);
        require(std::string("\"*:<>?|").find(static_cast<char>(c)) == std::string::npos);
    }
    return 0;
}
