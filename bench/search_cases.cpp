// The bytes and maps of the block search's benchmark cases, shared by the native and the shipped
// build's benches so that both measure the same data.
#include "bench/search_cases.h"

#include "delta/block_sums.h"

static const uint64_t random_seed = 88172645463325252ull;
static const uint64_t padding_seed = 12345;
static const uint64_t padded_head = 1 << 20;
static const uint64_t padded_tail = 1 << 20;
static const uint64_t blanks_length = 4096;
static const uint64_t hostile_seed = 5;

uint64_t next_random(uint64_t& state)
{
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
}

void fill_random(std::vector<unsigned char>& bytes, uint64_t& state)
{
    for (size_t at = 0; at + 8 <= bytes.size(); at += 8) {
        uint64_t value = next_random(state);
        for (int i = 0; i < 8; ++i) {
            bytes[at + i] = static_cast<unsigned char>(value >> (8 * i));
        }
    }
}

CaseFile start_case_file(CaseBytes kind, uint64_t size)
{
    return CaseFile{kind, size, 0, random_seed, padding_seed};
}

void fill_case_piece(CaseFile& file, std::vector<unsigned char>& piece)
{
    fill_random(piece, file.state);
    uint64_t padding_end = file.size - padded_tail;
    uint64_t blanks = file.size / 2;
    for (size_t at = 0; at < piece.size() && file.kind != CaseBytes::random; ++at) {
        uint64_t byte = file.made + at;
        bool padding = byte >= padded_head && byte < padding_end;
        if (file.kind == CaseBytes::zeros || (padding && file.kind == CaseBytes::padded_old)) {
            piece[at] = 0;
        } else if (padding) {
            piece[at] = byte >= blanks && byte < blanks + blanks_length
                            ? ' '
                            : static_cast<unsigned char>(file.padding_state >> 29);
            file.padding_state = file.padding_state * 6364136223846793005ull + 1442695040888963407ull;
        }
    }
    file.made += piece.size();
}

uint32_t padded_blocks_kept(uint64_t size, uint32_t block_size)
{
    uint64_t tail_start = (size - padded_tail + block_size - 1) / block_size * block_size;
    uint64_t tail_blocks = (size - tail_start + block_size - 1) / block_size;
    return static_cast<uint32_t>(padded_head / block_size + tail_blocks);
}

BlockMap hostile_map(uint64_t file_size)
{
    BlockMap map = {file_size, block_map_block_size(file_size), block_map_strong_length(file_size), {}, {}};
    std::vector<unsigned char> zeros(map.block_size, 0);
    map.weak.assign(block_map_block_count(file_size), weak_sum(zeros.data(), zeros.size()));
    map.strong.resize(map.weak.size() * map.strong_length);
    uint64_t state = hostile_seed;
    for (unsigned char& byte : map.strong) {
        byte = static_cast<unsigned char>(next_random(state) | 1);
    }
    return map;
}
