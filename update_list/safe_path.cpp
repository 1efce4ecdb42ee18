// The path rule: the only gate between a path named by the update server and the player's disk.
#include "update_list/safe_path.h"

// Longer paths would crowd MAX_PATH once joined to the game folder.
static const size_t max_path_length = 240;

static bool is_separator(unsigned char byte)
{
    return byte == '/' || byte == '\\';
}

// Control bytes and the bytes Windows refuses in names; ':' would name a drive or a stream.
static bool is_refused_byte(unsigned char byte)
{
    if (byte < 0x20) {
        return true;
    }
    switch (byte) {
    case '"':
    case '*':
    case ':':
    case '<':
    case '>':
    case '?':
    case '|':
        return true;
    default:
        return false;
    }
}

// Empty, "." and ".." components would either collapse into another path or climb out.
static bool is_acceptable_component(const char* begin, size_t length)
{
    if (length == 0) {
        return false;
    }
    if (length == 1 && begin[0] == '.') {
        return false;
    }
    if (length == 2 && begin[0] == '.' && begin[1] == '.') {
        return false;
    }
    return true;
}

bool is_safe_relative_path(const char* path, size_t length)
{
    if (length == 0 || length > max_path_length) {
        return false;
    }
    if (is_separator(static_cast<unsigned char>(path[0]))) {
        return false;
    }
    size_t component_start = 0;
    for (size_t i = 0; i < length; ++i) {
        unsigned char byte = static_cast<unsigned char>(path[i]);
        if (is_refused_byte(byte)) {
            return false;
        }
        if (is_separator(byte)) {
            if (!is_acceptable_component(path + component_start, i - component_start)) {
                return false;
            }
            component_start = i + 1;
        }
    }
    return is_acceptable_component(path + component_start, length - component_start);
}
