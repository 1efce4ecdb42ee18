// Builds the text of an update list from a hashed release folder, refusing everything that a
// launcher would drop, cut, misread or fetch again on every start.
#include "tools/publishing/manifest_text.h"

#include <algorithm>
#include <cstdio>
#include <map>

#include "tools/publishing/publish_rules.h"
#include "update_list/base64.h"
#include "update_list/utf8_text.h"

// The launcher's fetch gives up on a list longer than 16 MiB.
const size_t max_manifest_text_length = 16 * 1024 * 1024;

static const size_t digest_text_length = 32;
static const size_t sha256_text_length = 64;
// "Signature=", the 88 characters of 64 bytes in base64, and the line feed.
static const size_t signature_line_length = 10 + 88 + 1;

static bool has_trailing_blank(const std::string& value)
{
    return !value.empty() && value[value.size() - 1] == ' ';
}

// A tab shows as white space; every other control byte (NUL ends the list, CR is stripped or
// shown as a stray mark) does not survive the way to the player's window, nor does a byte that
// is not UTF-8 (the player's Windows shows a replacement mark).
static bool check_text_bytes(const std::string& value, std::string& error_text)
{
    std::string reason;
    if (!check_utf8(value.data(), value.size(), reason)) {
        error_text = "is not valid UTF-8 (" + reason + ")";
        return false;
    }
    for (char byte : value) {
        unsigned char code = static_cast<unsigned char>(byte);
        if (code < 0x20 && code != '\t') {
            char text[48];
            std::snprintf(text, sizeof text, "contains the control byte 0x%02X", code);
            error_text = text;
            return false;
        }
    }
    return true;
}

bool read_news_lines(const std::string& text, std::vector<std::string>& lines, std::string& error_text)
{
    lines.clear();
    // Editors that save UTF-8 may begin the file with a byte order mark; it is no part of the news.
    size_t at = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    size_t number = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string line = text.substr(at, end - at);
        at = end + 1;
        ++number;
        while (!line.empty() && (line[line.size() - 1] == ' ' || line[line.size() - 1] == '\r')) {
            line.erase(line.size() - 1);
        }
        std::string reason;
        if (!check_text_bytes(line, reason)) {
            error_text = "news line " + std::to_string(number) + " " + reason;
            return false;
        }
        if (!line.empty() || !lines.empty()) {
            lines.push_back(line);
        }
    }
    return true;
}

static bool check_list_value(const char* key, const std::string& value, std::string& error_text)
{
    std::string reason;
    if (!check_published_path(value, reason)) {
        error_text = std::string(key) + " '" + value + "': " + reason;
        return false;
    }
    return true;
}

bool check_manifest_settings(const ManifestSettings& settings, std::string& error_text)
{
    std::string reason;
    if (settings.version.empty()) {
        error_text = "the Version is empty; without it a list with no files is broken for every launcher";
        return false;
    }
    if (!check_text_bytes(settings.version, reason)) {
        error_text = "the Version " + reason;
        return false;
    }
    if (has_trailing_blank(settings.version)) {
        error_text = "the Version ends in a blank, which a launcher strips";
        return false;
    }
    for (size_t i = 0; i < settings.news.size(); ++i) {
        if (!check_text_bytes(settings.news[i], reason)) {
            error_text = "news line " + std::to_string(i + 1) + " " + reason;
            return false;
        }
        if (has_trailing_blank(settings.news[i])) {
            error_text = "news line " + std::to_string(i + 1) + " ends in a blank, which a launcher strips";
            return false;
        }
    }
    if (!settings.run.empty() && !check_list_value("Run", settings.run, error_text)) {
        return false;
    }
    for (const std::string& path : settings.deletes) {
        if (!check_list_value("Delete", path, error_text)) {
            return false;
        }
    }
    return true;
}

// Every folder the paths pass through, by its Windows name.
static std::map<std::string, std::string> folders_by_key(const std::vector<std::string>& paths)
{
    std::map<std::string, std::string> folders;
    for (const std::string& path : paths) {
        for (size_t at = path.find('/'); at != std::string::npos; at = path.find('/', at + 1)) {
            folders.insert(std::make_pair(windows_file_key(path.substr(0, at)), path.substr(0, at)));
        }
    }
    return folders;
}

bool check_release_paths(const std::vector<std::string>& paths, std::vector<std::string>& refusals)
{
    size_t before = refusals.size();
    std::map<std::string, std::string> folders = folders_by_key(paths);
    std::map<std::string, std::string> first_by_key;
    for (const std::string& path : paths) {
        std::string reason;
        if (path.find('\\') != std::string::npos) {
            refusals.push_back(path + ": a name holds '\\', which a launcher reads as a folder separator");
        } else if (!check_published_path(path, reason)) {
            refusals.push_back(path + ": " + reason);
        }
        // Windows ignores letter case: both entries would land in one file and fight on every start.
        std::string key = windows_file_key(path);
        auto found = first_by_key.find(key);
        auto folder = folders.find(key);
        if (found != first_by_key.end()) {
            refusals.push_back(path + ": the same file as " + found->second + " on Windows (letter case)");
        } else if (folder != folders.end()) {
            refusals.push_back(path + ": the same name as the folder " + folder->second + " on Windows (letter case)");
        }
        first_by_key.insert(std::make_pair(key, path));
    }
    return refusals.size() == before;
}

static bool path_less(const ManifestFile& a, const ManifestFile& b)
{
    return a.path < b.path;
}

bool write_manifest_text(const ManifestSettings& settings, std::vector<ManifestFile>& files, std::string& text,
                         std::string& error_text)
{
    if (!check_manifest_settings(settings, error_text)) {
        return false;
    }
    std::sort(files.begin(), files.end(), path_less);
    std::map<std::string, const ManifestFile*> by_key;
    for (const ManifestFile& file : files) {
        if (file.md5.size() != digest_text_length) {
            error_text = file.path + ": the digest is not 32 hex digits";
            return false;
        }
        if (settings.sign && file.sha256.size() != sha256_text_length) {
            error_text = file.path + ": the SHA-256 is not 64 hex digits";
            return false;
        }
        if (!file.map_sha256.empty() && file.map_sha256.size() != sha256_text_length) {
            error_text = file.path + ": the block map's SHA-256 is not 64 hex digits";
            return false;
        }
        by_key[windows_file_key(file.path)] = &file;
    }
    // A deleted file that is also listed would be deleted and fetched again on every start.
    for (const std::string& path : settings.deletes) {
        auto found = by_key.find(windows_file_key(path));
        if (found != by_key.end()) {
            error_text = "Delete '" + path + "' names " + found->second->path +
                         ", which the list also carries: every launcher would fetch it again on every start";
            return false;
        }
    }

    std::string out = "Version=" + settings.version + "\n";
    if (settings.sign) {
        out += "Sequence=" + std::to_string(settings.sequence) + "\n";
        // Signed with the rest; launchers of every version before the key rotation skip the line.
        if (!settings.next_key.empty()) {
            out += "NextKey=" + encode_base64(settings.next_key) + "\n";
        }
    }
    for (const std::string& line : settings.news) {
        out += "News=" + line + "\n";
    }
    if (!settings.run.empty()) {
        out += "Run=" + settings.run + "\n";
    }
    for (const std::string& path : settings.deletes) {
        out += "Delete=" + path + "\n";
    }
    // Launchers from before objects skip the line and fetch every file at its path.
    if (!settings.objects.empty()) {
        out += "Objects=" + settings.objects + "\n";
    }
    for (const ManifestFile& file : files) {
        out += file.keep ? "K|" : "F|";
        out += file.md5 + "|" + std::to_string(file.size) + "|" + file.path + "\n";
        if (settings.sign) {
            out += "H|" + file.sha256 + "|" + file.path + "\n";
        }
        // Launchers without block maps skip the line; one before the signature is signed with the rest.
        if (!file.map_sha256.empty()) {
            out += "M|" + file.map_sha256 + "|" + std::to_string(file.map_size) + "|" +
                   block_map_location(file.md5) + "|" + file.path + "\n";
        }
    }
    size_t final_length = out.size() + (settings.sign ? signature_line_length : 0);
    if (final_length > max_manifest_text_length) {
        error_text = "the list would be " + std::to_string(final_length) + " bytes; a launcher reads at most " +
                     std::to_string(max_manifest_text_length);
        return false;
    }
    text = out;
    return true;
}

void append_signature_line(const std::string& signature_rs, std::string& text)
{
    text += "Signature=" + encode_base64(signature_rs) + "\n";
}
