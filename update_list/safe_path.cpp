// The path rule: the only gate between a path named by the update server and the player's disk.
#include "update_list/safe_path.h"

#include "update_list/utf8_text.h"

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

static char lower_ascii(char byte)
{
    return (byte >= 'A' && byte <= 'Z') ? static_cast<char>(byte - 'A' + 'a') : byte;
}

bool is_windows_device_name(const char* name, size_t length)
{
    size_t stem = 0;
    while (stem < length && name[stem] != '.') {
        ++stem;
    }
    while (stem > 0 && name[stem - 1] == ' ') {
        --stem;
    }
    char lowered[4];
    if (stem != 3 && stem != 4) {
        return false;
    }
    for (size_t i = 0; i < stem; ++i) {
        lowered[i] = lower_ascii(name[i]);
    }
    if (stem == 3) {
        static const char* const devices[] = {"con", "prn", "aux", "nul"};
        for (const char* device : devices) {
            if (lowered[0] == device[0] && lowered[1] == device[1] && lowered[2] == device[2]) {
                return true;
            }
        }
        return false;
    }
    bool port = (lowered[0] == 'c' && lowered[1] == 'o' && lowered[2] == 'm') ||
                (lowered[0] == 'l' && lowered[1] == 'p' && lowered[2] == 't');
    return port && lowered[3] >= '1' && lowered[3] <= '9';
}

// Empty, "." and ".." components would either collapse into another path or climb out; a device
// name would reach a device instead of a file.
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
    return !is_windows_device_name(begin, length);
}

bool is_safe_relative_path(const char* path, size_t length)
{
    if (length == 0 || length > max_path_length) {
        return false;
    }
    if (is_separator(static_cast<unsigned char>(path[0]))) {
        return false;
    }
    // Windows reads the bytes as UTF-8 and gives every malformed sequence the same replacement
    // character, so two such names could land in one file.
    if (!is_valid_utf8(path, length)) {
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

bool is_launcher_own_file(const char* path, size_t length)
{
    static const char* const own_files[] = {"launcher.ini",           "launcher.cache",      "launcher.release",
                                            "launcher.switch",        "launcher.installed",  "launcher.keys",
                                            "launcher.ini.tmp",       "launcher.cache.tmp",  "launcher.release.tmp",
                                            "launcher.switch.tmp",    "launcher.installed.tmp", "launcher.keys.tmp"};
    while (length > 0 && (path[length - 1] == '.' || path[length - 1] == ' ')) {
        --length;
    }
    for (const char* own : own_files) {
        size_t i = 0;
        while (i < length && own[i] != '\0' && lower_ascii(path[i]) == own[i]) {
            ++i;
        }
        if (i == length && own[i] == '\0') {
            return true;
        }
    }
    return false;
}
