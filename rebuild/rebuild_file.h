// Rebuilding a listed file from what the player already holds: the blocks of the old copy and of a
// kept part that the file's block map finds there, copied into the part, and single-range
// requests for the rest; then the same verification as a download.
#pragma once

#include <cstdint>
#include <string>

#include "transfer/download.h"

// Where the list says a file's block map lies, and what it must be.
struct MapReference {
    std::string location;  // relative to the list's address
    uint64_t size;         // bytes
    std::string sha256;    // 64 lower-case hex digits
};

// Files below this size are fetched whole: their map and requests would cost about as much.
extern const uint64_t rebuild_min_size;

enum class Rebuild {
    placed,     // the file is whole in its part, verified, flushed and waiting for the switch
    fall_back,  // something the server or the map should not have done: a map that is missing,
                // larger than the format allows, malformed or not the one listed, an answer other
                // than the range asked for, a rebuilt file that is not the listed one. The caller
                // fetches the whole file instead, once, and says nothing of it
    failed,     // the transfer broke off or the disk refused:
                // the reason says which, and the part keeps what it holds for the next attempt
};

// Rebuilds `file` at `target` (a full path below the game folder) with the map `map`: finds its
// blocks in `target` and in `target` + ".part", copies them into the part and fetches the missing
// ranges on up to `connections` requests at once. `progress` hears, from any of those threads but
// never two at once, the bytes of the file in place in the part (found or fetched) and the bytes
// fetched in this call. Only a part made for this very file is used, and only where its bytes
// are in place; it is marked as rebuilt, so that no download takes it for the start of the file.
Rebuild rebuild_file(const DownloadSource& source, const ListedFile& file, const MapReference& map,
                     const std::string& target, int connections, const TransferSink& progress,
                     std::string& error_text);
