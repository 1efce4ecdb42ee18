// The publishing rules of make_manifest: every path it writes must pass the launcher's own path
// rule, survive the list parser unchanged and name a file Windows can hold under that name.
#include "tools/publish_rules.h"

#include <cstdio>
#include <cstring>

#include "update_list/safe_path.h"

static const char block_map_folder[] = "launcher.maps/";
static const size_t block_map_folder_length = sizeof block_map_folder - 1;

// The launcher's path rule takes at most this many bytes.
static const size_t max_list_path_length = 240;

static bool is_separator(char byte)
{
    return byte == '/' || byte == '\\';
}

static char lower_ascii(char byte)
{
    return (byte >= 'A' && byte <= 'Z') ? static_cast<char>(byte - 'A' + 'a') : byte;
}

static std::string lower_ascii_text(const std::string& text)
{
    std::string lowered = text;
    for (char& byte : lowered) {
        byte = lower_ascii(byte);
    }
    return lowered;
}

static bool ends_with(const std::string& text, const char* suffix)
{
    size_t length = std::strlen(suffix);
    return text.size() >= length && text.compare(text.size() - length, length, suffix) == 0;
}

static std::string last_name(const std::string& path)
{
    size_t at = path.size();
    while (at > 0 && !is_separator(path[at - 1])) {
        --at;
    }
    return path.substr(at);
}

static bool check_byte(unsigned char byte, std::string& error_text)
{
    char text[96];
    if (byte < 0x20) {
        std::snprintf(text, sizeof text, "contains the control byte 0x%02X", byte);
        error_text = text;
        return false;
    }
    if (byte == ':') {
        error_text = "contains ':', which names a drive or a stream";
        return false;
    }
    if (std::strchr("\"*<>?|", byte) != nullptr) {
        std::snprintf(text, sizeof text, "contains '%c', which Windows refuses in names", byte);
        error_text = text;
        return false;
    }
    return true;
}

static bool check_name(const std::string& name, std::string& error_text)
{
    if (name.empty()) {
        error_text = "has an empty name (a doubled or trailing separator)";
        return false;
    }
    if (name == "." || name == "..") {
        error_text = "has a '" + name + "' name, which would leave its folder";
        return false;
    }
    char last = name[name.size() - 1];
    if (last == '.' || last == ' ') {
        error_text = "the name '" + name + "' ends in a dot or a blank, which Windows drops";
        return false;
    }
    if (is_windows_device_name(name.data(), name.size())) {
        error_text = "the name '" + name + "' is a device on Windows";
        return false;
    }
    return true;
}

bool check_published_path(const std::string& path, std::string& error_text)
{
    if (path.empty()) {
        error_text = "the path is empty";
        return false;
    }
    if (path.size() > max_list_path_length) {
        error_text = "the path is " + std::to_string(path.size()) + " bytes long; a launcher takes at most " +
                     std::to_string(max_list_path_length);
        return false;
    }
    if (is_separator(path[0])) {
        error_text = "the path begins with a separator";
        return false;
    }
    // The list parser strips trailing blanks from every line, so the launcher would read another name.
    if (path[path.size() - 1] == ' ') {
        error_text = "the path ends in a blank, which a launcher strips from the line";
        return false;
    }
    for (char byte : path) {
        if (!check_byte(static_cast<unsigned char>(byte), error_text)) {
            return false;
        }
    }
    size_t name_start = 0;
    for (size_t i = 0; i <= path.size(); ++i) {
        if (i == path.size() || is_separator(path[i])) {
            if (!check_name(path.substr(name_start, i - name_start), error_text)) {
                return false;
            }
            name_start = i + 1;
        }
    }
    if (is_launcher_own_file(path.data(), path.size())) {
        error_text = "the launcher keeps a file of this name for itself; no list may name it";
        return false;
    }
    // The launcher's own rule has the last word, so nothing it would drop is ever published.
    if (!is_safe_relative_path(path.data(), path.size())) {
        error_text = "refused by the launcher's path rule";
        return false;
    }
    return true;
}

bool is_launcher_runtime_file(const std::string& path)
{
    std::string lowered = lower_ascii_text(path);
    if (ends_with(last_name(lowered), ".part") || ends_with(last_name(lowered), ".part.tag")) {
        return true;
    }
    return lowered == "launcher.ini" || lowered == "launcher.cache" || lowered == "launcher.new.exe" ||
           lowered == "launcher.old.exe" || lowered == "launcher.release" ||
           lowered == "launcher.cache.tmp" || lowered == "launcher.release.tmp" || lowered == "launcher.keys" ||
           lowered == "launcher.keys.tmp";
}

bool is_update_list_file(const std::string& path)
{
    return lower_ascii_text(path) == "manifest.txt";
}

bool is_block_map_folder_file(const std::string& path)
{
    return lower_ascii_text(path).compare(0, block_map_folder_length, block_map_folder) == 0;
}

bool is_block_map_file(const std::string& path)
{
    std::string lowered = lower_ascii_text(path);
    bool directly_inside = is_block_map_folder_file(lowered) &&
                           lowered.find('/', block_map_folder_length) == std::string::npos;
    return directly_inside && (ends_with(lowered, ".map") || ends_with(lowered, ".map.tmp"));
}

std::string block_map_location(const std::string& md5)
{
    return block_map_folder + md5 + ".map";
}

// Matches pattern[p..] against text[t..]; "*" never crosses a "/".
static bool glob_match(const std::string& pattern, size_t p, const std::string& text, size_t t)
{
    while (p < pattern.size()) {
        char wanted = pattern[p];
        if (wanted == '*') {
            for (size_t end = t;; ++end) {
                if (glob_match(pattern, p + 1, text, end)) {
                    return true;
                }
                if (end == text.size() || text[end] == '/') {
                    return false;
                }
            }
        }
        if (t == text.size()) {
            return false;
        }
        if (wanted == '?' ? text[t] == '/' : text[t] != wanted) {
            return false;
        }
        ++p;
        ++t;
    }
    return t == text.size();
}

bool matches_keep_pattern(const std::string& pattern, const std::string& path)
{
    if (pattern.find('/') == std::string::npos) {
        return glob_match(pattern, 0, last_name(path), 0);
    }
    return glob_match(pattern, 0, path, 0);
}

std::string windows_file_key(const std::string& path)
{
    std::string key = lower_ascii_text(path);
    for (char& byte : key) {
        if (byte == '\\') {
            byte = '/';
        }
    }
    return key;
}
