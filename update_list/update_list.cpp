// The parser that turns the text of "manifest.txt" into an UpdateList; it does no input or output.
#include "update_list/update_list.h"

#include <cstring>

#include "update_list/decimal.h"
#include "update_list/hex_text.h"
#include "update_list/list_line.h"
#include "update_list/object_name.h"
#include "update_list/safe_path.h"

// A digest text is the 32 hex digits of 16 bytes; its content is judged only when compared.
static const size_t digest_text_length = 32;
static const size_t entry_prefix_length = 2;
static const char map_prefix[] = "M|";
static const size_t map_prefix_length = sizeof map_prefix - 1;
static const size_t sha256_text_length = 64;

static bool is_safe(const std::string& path)
{
    return is_safe_relative_path(path.data(), path.size());
}

// Entries and deletions touch the disk: they must keep to the game's own files.
static bool is_game_file(const std::string& path)
{
    return is_safe(path) && !is_launcher_own_file(path.data(), path.size());
}

static bool is_entry_line(ListLine line)
{
    if (line.length < entry_prefix_length) {
        return false;
    }
    return (line.begin[0] == 'F' || line.begin[0] == 'K') && line.begin[1] == '|';
}

// Returns true when the line was accepted as an entry; a dropped entry line is never a key line.
static bool parse_entry_line(ListLine line, UpdateList& list)
{
    const char* end = line.begin + line.length;
    const char* digest_begin = line.begin + entry_prefix_length;
    const char* first_bar = static_cast<const char*>(
        std::memchr(digest_begin, '|', static_cast<size_t>(end - digest_begin)));
    if (first_bar == nullptr) {
        return false;
    }
    const char* size_begin = first_bar + 1;
    const char* second_bar = static_cast<const char*>(
        std::memchr(size_begin, '|', static_cast<size_t>(end - size_begin)));
    if (second_bar == nullptr) {
        return false;
    }
    UpdateEntry entry;
    entry.md5.assign(digest_begin, first_bar);
    entry.size = read_unsigned_decimal(size_begin, second_bar);
    entry.path.assign(second_bar + 1, end);
    entry.keep = line.begin[0] == 'K';
    if (entry.md5.size() != digest_text_length || !is_game_file(entry.path)) {
        return false;
    }
    list.files.push_back(entry);
    return true;
}

static bool is_map_line(ListLine line)
{
    return line.length >= map_prefix_length && std::memcmp(line.begin, map_prefix, map_prefix_length) == 0;
}

// Takes the field that runs from `at` up to the next "|", and moves `at` past that "|".
static bool next_field(const char*& at, const char* end, std::string& field)
{
    const char* bar = static_cast<const char*>(std::memchr(at, '|', static_cast<size_t>(end - at)));
    if (bar == nullptr) {
        return false;
    }
    field.assign(at, bar);
    at = bar + 1;
    return true;
}

// "M|<sha256>|<size>|<location>|<path>": every field exact, since a map that is not the one
// published only costs a launcher a whole download. A line that is not so is dropped alone.
static void parse_map_line(ListLine line, UpdateList& list)
{
    const char* at = line.begin + map_prefix_length;
    const char* end = line.begin + line.length;
    BlockMapLine map;
    std::string size;
    if (!next_field(at, end, map.sha256) || !next_field(at, end, size) || !next_field(at, end, map.location)) {
        return;
    }
    map.path.assign(at, end);
    if (map.sha256.size() != sha256_text_length ||
        !is_lower_hex_text(map.sha256.data(), map.sha256.size()) ||
        !read_decimal_digits(size.data(), size.size(), map.size) || !is_safe(map.location) ||
        !is_safe(map.path)) {
        return;
    }
    list.maps.push_back(map);
}

// "Objects=<folder>/": a folder below the list's address, so it passes the path rule (its final
// "/" aside, which is added when missing). A folder that doesn't is dropped like any unsafe value;
// launchers from before the line drop every line of it as an unknown key.
static void parse_objects_value(std::string value, UpdateList& list)
{
    if (!value.empty() && value.back() == '/') {
        value.pop_back();
    }
    if (is_safe(value)) {
        list.objects = value + "/";
    }
}

// Returns true for a "Version" line, the only key that makes a list usable.
static bool parse_key_line(ListLine line, UpdateList& list)
{
    const char* equals = static_cast<const char*>(std::memchr(line.begin, '=', line.length));
    if (equals == nullptr) {
        return false;
    }
    std::string key(line.begin, equals);
    std::string value(equals + 1, line.begin + line.length);
    if (key == "Version") {
        list.version = value;
        return true;
    }
    if (key == "News") {
        if (!list.news.empty()) {
            list.news += '\n';
        }
        list.news += value;
    } else if (key == "Run") {
        if (is_safe(value)) {
            list.run = value;
        }
    } else if (key == "Delete") {
        if (is_game_file(value)) {
            list.deletes.push_back(value);
        }
    } else if (key == "Objects") {
        parse_objects_value(value, list);
    }
    return false;
}

bool parse_update_list(const char* text, UpdateList& list)
{
    list = UpdateList();
    bool usable = false;
    const char* at = text;
    const char* end = text + std::strlen(text);
    ListLine line;
    while (next_list_line(at, end, line)) {
        if (line.length == 0 || line.begin[0] == '#') {
            continue;
        }
        if (is_map_line(line)) {
            parse_map_line(line, list);
            continue;
        }
        bool accepted = is_entry_line(line) ? parse_entry_line(line, list) : parse_key_line(line, list);
        usable = usable || accepted;
    }
    if (!list.objects.empty()) {
        for (UpdateEntry& entry : list.files) {
            entry.object = object_location(list.objects, entry.md5, entry.size);
        }
    }
    return usable;
}
