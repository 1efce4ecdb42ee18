// Rebuilding a listed file from what the player already holds: the blocks of the old copy and of a
// kept part that the file's block map finds there, copied into the part, and single-range
// requests for the rest; then the same verification as a download.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "delta/block_map.h"
#include "delta/block_search.h"
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

// How a rebuild tells its caller how far it has come. Both calls hand back `context`, from any of
// the rebuild's threads but never two at once.
struct RebuildSink {
    // While the old copy and the part are searched: thousandths of the search done, 1000 once it
    // is over (at once for an attempt that goes on from an earlier search).
    void (*searched)(void* context, unsigned thousandths);
    // Then: the bytes of the file in place in the part (found or fetched), and those fetched in
    // this call.
    void (*received)(void* context, uint64_t on_hand, uint64_t arrived);
    void* context;
};

// What one attempt at rebuilding a file learnt, for the later attempts at the same file in the
// same pass: the map, once fetched; once searched, where each block's bytes are to be had (the
// blocks put in place in the part by an attempt that broke off count as found there); and the
// validator the ranges ask with. Start each file with an empty one.
struct RebuildMemory {
    bool has_map = false;
    BlockMap map;
    bool searched = false;
    std::vector<BlockOrigin> origins;  // source 0 is the old copy when there was one, then the part
    bool had_old = false;              // whether the old copy was searched, and its size then
    uint64_t old_size = 0;
    std::string validator;
};

// Rebuilds `file` at `target` (a full path below the game folder) with the map `map`: finds its
// blocks in `target` and in `target` + ".part", copies them into the part and fetches the missing
// ranges on up to `connections` requests at once, telling `progress` how far it has come. Only a
// part made for this very file is used, and only where its bytes are in place; it is marked as
// rebuilt, so that no download takes it for the start of the file. The part takes the file's size
// before any range arrives, and only when the disk has room for it ("not enough free disk space",
// failed). `memory` carries what an attempt learnt to the next, which neither fetches the map nor
// searches again, and fetches only what did not arrive before.
Rebuild rebuild_file(const DownloadSource& source, const ListedFile& file, const MapReference& map,
                     const std::string& target, int connections, const RebuildSink& progress,
                     RebuildMemory& memory, std::string& error_text);
