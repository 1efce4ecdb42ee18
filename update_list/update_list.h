// The update list: the records a parsed "manifest.txt" becomes, and its parser.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct UpdateEntry {
    std::string path;  // relative path exactly as the list writes it ("/" or "\" separators)
    std::string md5;   // expected digest text, 32 bytes as written
    uint64_t size;     // expected size in bytes
    bool keep;         // "K|" line: an existing local file is left alone whatever its content
    // 64 lower-case hex digits from the entry's "H|" line in a signed list; empty when unsigned.
    // Its default lets four-field initialisations stay complete.
    std::string sha256 = {};
    // Where the entry's bytes lie relative to the list's address when the list names an objects
    // folder (object_location); empty when they lie at the entry's own path.
    std::string object = {};
};

// An "M|" line: the block map published beside a listed file, with which a launcher that holds an
// older copy fetches only the blocks it lacks. "M|<sha256>|<size>|<location>|<path>".
struct BlockMapLine {
    std::string path;      // the entry it describes: the same path bytes as that entry's line
    std::string location;  // where the map lies, relative to the list's address
    uint64_t size;         // the map's size in bytes
    std::string sha256;    // the map's SHA-256, 64 lower-case hex digits
};

struct UpdateList {
    std::string version, news, run;    // last "Version"; "News" lines joined by LF; last safe "Run"
    std::vector<std::string> deletes;  // safe "Delete" values, in list order
    std::vector<UpdateEntry> files;    // accepted entry lines, in list order
    std::vector<BlockMapLine> maps;    // well-formed "M|" lines, in list order
    // The last safe "Objects" value, ending in "/": the folder that holds every entry's bytes
    // under a name made from its content. Empty: each file lies at its path.
    std::string objects;
};

// Empties `list`, then fills it from the NUL-terminated `text`. True when the list is usable:
// it holds a "Version" line or at least one accepted entry line.
bool parse_update_list(const char* text, UpdateList& list);
