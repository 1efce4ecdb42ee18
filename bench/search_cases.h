// The bytes and maps of the block search's benchmark cases, made alike by the native bench and by
// the shipped build's: random old copies, a zero-padded old archive and its refilled release,
// zeros, and a hostile map whose weak sums all collide with the zero block's.
#pragma once

#include <cstdint>
#include <vector>

#include "delta/block_map.h"

// The xorshift generator the benches draw random bytes and places from.
uint64_t next_random(uint64_t& state);

// Fills `bytes` (a multiple of 8 long) with the generator's next values.
void fill_random(std::vector<unsigned char>& bytes, uint64_t& state);

// What a case's file holds.
enum class CaseBytes {
    random,          // random bytes throughout
    padded_old,      // an old archive: a random 1 MiB head and tail around zero padding
    padded_release,  // its new release: the same head and tail, the padding refilled with new bytes
                     // and one 4 KiB run of blanks in the file's middle
    zeros,           // zeros throughout
};

// A case's file being made from its start, piece after piece. Every kind draws the same random
// values for the same offsets, so the padded archive and its release share head and tail.
struct CaseFile {
    CaseBytes kind;
    uint64_t size;           // bytes of the whole file
    uint64_t made;           // bytes handed out so far
    uint64_t state;          // of the random bytes
    uint64_t padding_state;  // of the release's new padding
};

CaseFile start_case_file(CaseBytes kind, uint64_t size);

// Fills `piece` with the file's next bytes: piece.size() of them, a multiple of 8 that does not
// reach past the file's size.
void fill_case_piece(CaseFile& file, std::vector<unsigned char>& piece);

// The blocks of the refilled release that the old padded archive of `size` bytes holds: those of
// its head and tail, all a search of it can find.
uint32_t padded_blocks_kept(uint64_t size, uint32_t block_size);

// A map a hostile server could write for a file of `file_size` bytes: every weak sum the zero
// block's, strong sums that no block of zeros has.
BlockMap hostile_map(uint64_t file_size);
