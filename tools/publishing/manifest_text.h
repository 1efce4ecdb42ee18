// The update list that make_manifest publishes: its settings, its files, the checks that keep
// every launcher reading it exactly as written, and its text.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ManifestSettings {
    std::string version;               // "Version" value; must be present
    std::vector<std::string> news;     // one "News" line each, in order
    std::string run;                   // "Run" value; empty writes no "Run" line
    std::vector<std::string> deletes;  // "Delete" values, in order
    std::string objects;               // "Objects" value, ending in "/"; empty: files at their paths
    bool sign = false;                 // a signed list: "Sequence" and one "H|" line per file
    uint64_t sequence = 0;             // "Sequence" value of a signed list
    std::string next_key = {};         // 64 bytes X||Y a signed list names as "NextKey"; empty: none
};

struct ManifestFile {
    std::string path;  // relative path with "/" between names, as the release folder holds it
    std::string md5;   // 32 lower-case hex digits
    uint64_t size;     // bytes
    bool keep;         // written as a "K|" line: players may change the file
    std::string sha256 = {};  // 64 lower-case hex digits; needed for a signed list only
    // The SHA-256 (64 lower-case hex digits) and size of the file's block map, which lies at
    // block_map_location(md5); empty when the file has no map.
    std::string map_sha256 = {};
    uint64_t map_size = 0;
};

// The most a launcher reads of an update list; a longer list fails every update pass.
extern const size_t max_manifest_text_length;

// Splits the text of a news file into "News" values: one per line, CR LF read as LF, trailing
// blanks dropped (a launcher drops them too), leading empty lines dropped (a launcher would
// show nothing for them), a leading UTF-8 byte order mark dropped. False, naming the line, when
// a line is not valid UTF-8 or holds a byte a launcher can't show or keep.
bool read_news_lines(const std::string& text, std::vector<std::string>& lines, std::string& error_text);

// False with the reason when a value would be refused, cut or misread by every launcher.
bool check_manifest_settings(const ManifestSettings& settings, std::string& error_text);

// Appends one refusal ("path: reason") for every release path that must not be published;
// true when there is none.
bool check_release_paths(const std::vector<std::string>& paths, std::vector<std::string>& refusals);

// Sorts `files` byte-wise by path and writes the list text: Version, News, Run, Delete, Objects, then
// one entry line per file, followed by its "M|" line when it has a block map. A signed list also
// gets "Sequence" (and "NextKey" when it names one) after "Version" and each entry's "H|" line
// right after the entry, and then awaits its signature (the length limit counts that line too).
// False when the list as a whole can't work.
bool write_manifest_text(const ManifestSettings& settings, std::vector<ManifestFile>& files, std::string& text,
                         std::string& error_text);

// Closes a signed list with the "Signature" line of the 64 bytes r||s over all of `text`.
void append_signature_line(const std::string& signature_rs, std::string& text);
