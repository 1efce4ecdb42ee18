// The publishing rules of make_manifest: every path it writes must pass the launcher's own path
// rule, survive the list parser unchanged and name a file Windows can hold under that name.
#include "tools/publishing/publish_rules.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "update_list/safe_path.h"
#include "update_list/utf8_text.h"

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
    std::string reason;
    if (!check_utf8(path.data(), path.size(), reason)) {
        error_text = "the name is not valid UTF-8 (" + reason + ")";
        return false;
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
           lowered == "launcher.old.exe" || lowered == "launcher.release" || lowered == "launcher.switch" ||
           lowered == "launcher.installed" || lowered == "launcher.keys" || lowered == "launcher.cache.tmp" ||
           lowered == "launcher.release.tmp" || lowered == "launcher.switch.tmp" ||
           lowered == "launcher.installed.tmp" || lowered == "launcher.keys.tmp";
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

// Lower-case letters and their capitals, as Windows' file systems fold them: code points `first`
// to `last` (every one, or every other one from `first`) become themselves plus `offset`.
struct CaseRange {
    uint32_t first;
    uint32_t last;
    int32_t offset;
    bool every_other;
};

static const CaseRange case_ranges[] = {
    {0x0061, 0x007A, -32, false},   {0x00E0, 0x00F6, -32, false},   {0x00F8, 0x00FE, -32, false},
    {0x00FF, 0x00FF, 0x79, false},  {0x0101, 0x012F, -1, true},     {0x0133, 0x0137, -1, true},
    {0x013A, 0x0148, -1, true},     {0x014B, 0x0177, -1, true},     {0x017A, 0x017E, -1, true},
    {0x03AC, 0x03AC, -38, false},   {0x03AD, 0x03AF, -37, false},   {0x03B1, 0x03C1, -32, false},
    {0x03C2, 0x03C2, -31, false},   {0x03C3, 0x03CB, -32, false},   {0x03CC, 0x03CC, -64, false},
    {0x03CD, 0x03CE, -63, false},   {0x0430, 0x044F, -32, false},   {0x0450, 0x045F, -80, false},
    {0x0461, 0x0481, -1, true},     {0x048B, 0x04BF, -1, true},     {0x04C2, 0x04CE, -1, true},
    {0x04CF, 0x04CF, -15, false},   {0x04D1, 0x052F, -1, true},     {0x0561, 0x0586, -48, false},
    {0xFF41, 0xFF5A, -32, false},
};

static uint32_t upper_case(uint32_t code)
{
    for (const CaseRange& range : case_ranges) {
        if (code >= range.first && code <= range.last && (!range.every_other || (code - range.first) % 2 == 0)) {
            return static_cast<uint32_t>(static_cast<int32_t>(code) + range.offset);
        }
    }
    return code;
}

// Reads the well-formed sequence at text[at] into `code`; a malformed one is taken byte by byte.
static size_t decode_at(const std::string& text, size_t at, uint32_t& code)
{
    unsigned char lead = static_cast<unsigned char>(text[at]);
    size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    if (length == 1 || at + length > text.size() || !is_valid_utf8(text.data() + at, length)) {
        code = lead;
        return 1;
    }
    code = lead & (0x7F >> length);
    for (size_t i = 1; i < length; ++i) {
        code = (code << 6) | (static_cast<unsigned char>(text[at + i]) & 0x3F);
    }
    return length;
}

static void encode(uint32_t code, std::string& out)
{
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

std::string windows_file_key(const std::string& path)
{
    std::string key;
    for (size_t at = 0; at < path.size();) {
        uint32_t code = 0;
        size_t length = decode_at(path, at, code);
        uint32_t folded = upper_case(code);
        if (folded == code) {
            key.append(path, at, length);
        } else {
            encode(folded, key);
        }
        at += length;
    }
    for (char& byte : key) {
        if (byte == '\\') {
            byte = '/';
        }
    }
    return key;
}
