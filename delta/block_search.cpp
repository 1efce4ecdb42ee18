// Finds the blocks of a new file in the sources a launcher holds: first at the blocks' own
// offsets, then by rolling the weak sum over what did not match there.
#include "delta/block_search.h"

#include <algorithm>
#include <cstring>

#include "delta/block_index.h"
#include "delta/block_sums.h"

// The bytes read at once, whatever the file sizes: a 32-bit launcher searches a 5 GiB file in
// the same few MiB as a small one.
static const size_t window_length = 1024 * 1024;
// Larger blocks would make the window itself large; the format reaches them only past 4 TiB.
static const uint32_t max_search_block_size = 16 * 1024 * 1024;

// What a lookup of a weak sum in the index costs the roll's credit, in bytes of MD5: about its
// time where the index lies outside the cache.
static const int64_t lookup_cost = 8;
// The credit the roll starts with, in blocks (at least a window's bytes): room for the first
// checks before it has rolled over anything.
static const uint64_t credit_blocks = 4;

// What the first pass learnt about each of a source's blocks, for the second.
static const unsigned char no_match = 0;
static const unsigned char in_place = 1;  // the block's bytes, or those of a block found elsewhere

struct Search {
    const BlockMap& map;
    const std::vector<DeltaSource>& sources;
    const SearchProgress* progress;
    std::vector<BlockOrigin>& origins;
    std::string& error_text;
    BlockIndex index;
    uint32_t missing;                   // blocks no source has given yet
    size_t window;                      // window starts one buffer holds: a whole number of blocks
    std::vector<unsigned char> buffer;  // a window and the block after it
    uint64_t searched;                  // bytes reported as searched so far
    uint64_t total;                     // twice the sources' sizes
    SearchStats stats;
    // The roll's credit, in bytes of MD5: what it rolled over, less what its lookups and strong
    // checks that found nothing cost. It starts at a few blocks' worth.
    int64_t credit;
    uint64_t credited_to;               // the offset of the source the credit has counted up to
    // Of the source being rolled: the byte values whose uniform window was confirmed (one look
    // serves them all: a later window of the same bytes has less room left in the source), and
    // the window starts before `mixed_until` known to hold two byte values.
    uint32_t uniform_done[256 / 32];
    uint64_t mixed_until;
};

// Reports that the pass has reached `offset` of a source whose pass began at `pass_start`.
static bool report(Search& search, uint64_t pass_start, uint64_t offset)
{
    search.searched = std::max(search.searched, pass_start + offset);
    if (search.progress == nullptr || search.progress->searched(search.progress->context, search.searched,
                                                                search.total)) {
        return true;
    }
    search.error_text = "stopped";
    return false;
}

// Reads source bytes [offset, offset + length) into `into`; what lies at or past `limit` reads
// as zeros.
static bool read_span(Search& search, uint32_t source, uint64_t offset, unsigned char* into, size_t length,
                      uint64_t limit)
{
    size_t real = offset >= limit ? 0 : static_cast<size_t>(std::min<uint64_t>(length, limit - offset));
    const DeltaSource& from = search.sources[source];
    if (real != 0 && from.read(from.context, offset, into, real) != real) {
        search.error_text = "can't read source " + std::to_string(source);
        return false;
    }
    search.stats.bytes_read += real;
    std::memset(into + real, 0, length - real);
    return true;
}

static void sum_strong(Search& search, const unsigned char* bytes, unsigned char (&digest)[md5_digest_length])
{
    strong_sum(bytes, search.map.block_size, digest);
    ++search.stats.strong_checks;
    search.stats.bytes_strong_summed += search.map.block_size;
}

static uint32_t give(Search& search, uint32_t block, uint32_t source, uint64_t offset, uint64_t room)
{
    if (search.origins[block].source != block_not_found || block_map_block_length(search.map, block) > room) {
        return 0;
    }
    search.origins[block] = BlockOrigin{offset, source};
    return 1;
}

// Gives the window at `offset` of `source` to every missing block of `group` whose bytes all lie
// inside the source; returns how many it gave. Only the map's last block may be short, so where
// less than a block is left only it can fit, and a large group is walked once where one is left.
static uint32_t take(Search& search, uint32_t group, uint32_t source, uint64_t offset)
{
    BlockIndex& index = search.index;
    if (index.group_missing[group] == 0) {
        return 0;
    }
    uint64_t room = search.sources[source].size - offset;
    uint32_t last = static_cast<uint32_t>(search.map.weak.size() - 1);
    uint32_t taken = 0;
    if (room >= search.map.block_size) {
        for (uint32_t at = index.group_start[group]; at < index.group_start[group + 1]; ++at) {
            taken += give(search, index.members[at], source, offset, room);
        }
    } else if (index.group_of_block[last] == group) {
        taken = give(search, last, source, offset, room);
    }
    index.group_missing[group] -= taken;
    index.entry_missing[find_block_entry(index, search.map.weak[index.members[index.group_start[group]]])] -= taken;
    search.missing -= taken;
    return taken;
}

static bool same_strong_sum(const Search& search, uint32_t block, const unsigned char* digest)
{
    const unsigned char* strong = &search.map.strong[size_t(block) * search.map.strong_length];
    return std::memcmp(strong, digest, search.map.strong_length) == 0;
}

// Confirms the window at `offset` against the groups of `entry`: one MD5, and the one group that
// can hold it found by halving; returns how many blocks it gave.
static uint32_t confirm_window(Search& search, uint32_t entry, const unsigned char* window, uint32_t source,
                               uint64_t offset)
{
    unsigned char digest[md5_digest_length];
    sum_strong(search, window, digest);
    uint32_t group = find_block_group(search.index, search.map, entry, digest);
    return group == not_in_index ? 0 : take(search, group, source, offset);
}

// Compares one block that no source has given yet with the bytes at its own offset. Where the
// block before matched in place, this one most likely does too: the MD5 alone decides then, and
// the weak sum, which only spares the MD5 of blocks that differ, is not summed at all. A block
// is taken on its strong sum in either case.
static bool compare_block(Search& search, uint32_t source, uint32_t block, const unsigned char* bytes,
                          bool likely_same)
{
    const BlockMap& map = search.map;
    uint64_t at = uint64_t(block) * map.block_size;
    if (at + block_map_block_length(map, block) > search.sources[source].size ||
        (!likely_same && weak_sum(bytes, map.block_size) != map.weak[block])) {
        return false;
    }
    unsigned char digest[md5_digest_length];
    sum_strong(search, bytes, digest);
    if (!same_strong_sum(search, block, digest)) {
        return false;
    }
    take(search, search.index.group_of_block[block], source, at);
    return true;
}

// The first pass over one source: each missing block is compared with the source's bytes at the
// block's own offset. Past the file's end the bytes read as zeros, as the last block was summed
// with them. A block found already is compared by its weak sum alone: it decides only whether
// the second pass rolls over those bytes, which a kept .part or an old file holding blocks that
// the other gave would otherwise cost byte by byte.
static bool compare_in_place(Search& search, uint32_t source, uint64_t pass_start, std::vector<unsigned char>& status)
{
    const BlockMap& map = search.map;
    const uint64_t size = search.sources[source].size;
    const uint32_t block_size = map.block_size;
    uint64_t blocks_inside = size / block_size + (size % block_size != 0 ? 1 : 0);
    uint32_t blocks = static_cast<uint32_t>(std::min<uint64_t>(map.weak.size(), blocks_inside));
    uint32_t per_window = static_cast<uint32_t>(search.window / block_size);
    uint64_t limit = std::min(size, map.file_size);
    unsigned char* buffer = search.buffer.data();
    status.assign(blocks, no_match);
    for (uint32_t first = 0; first < blocks && search.missing != 0; first += per_window) {
        uint32_t last = std::min(first + per_window, blocks);
        if (!read_span(search, source, uint64_t(first) * block_size, buffer, size_t(last - first) * block_size,
                       limit)) {
            return false;
        }
        for (uint32_t block = first; block < last; ++block) {
            const unsigned char* bytes = buffer + size_t(block - first) * block_size;
            bool found = search.origins[block].source != block_not_found;
            bool likely_same = block > 0 && status[block - 1] == in_place;
            if (found ? weak_sum(bytes, block_size) == map.weak[block]
                      : compare_block(search, source, block, bytes, likely_same)) {
                status[block] = in_place;
            }
        }
        if (!report(search, pass_start, uint64_t(last) * block_size)) {
            return false;
        }
    }
    return report(search, pass_start, size);
}

// Rolls `sum` from window start `at` on until the index may hold its weak sum, and returns that
// start, or `stop`. A function of its own, so that the loop that runs for nearly every byte holds
// all it needs in registers.
static size_t roll_to_candidate(const BlockIndex& index, const unsigned char* buffer, size_t at, size_t stop,
                                uint32_t block_size, RollingSum& sum)
{
    const uint32_t* filter = index.filter.data();
    const uint32_t filter_shift = index.filter_shift;
    RollingSum rolling = sum;
    for (; at < stop; ++at) {
        if (filter_may_hold(filter, filter_shift, rolled_weak_sum(rolling))) {
            break;
        }
        roll_sum(rolling, buffer[at], buffer[at + block_size], block_size);
    }
    sum = rolling;
    return at;
}

// The bytes the buffer must hold for the window starts from `base` on that lie before `end`:
// a short run of unmatched blocks reads only itself and one block more.
static size_t bytes_to_hold(const Search& search, uint64_t base, uint64_t end)
{
    return static_cast<size_t>(std::min<uint64_t>(search.window, end - base) + search.map.block_size);
}

// The bytes from `bytes` on that equal the first, up to `length`.
static size_t uniform_run(const unsigned char* bytes, size_t length)
{
    const uint64_t pattern = bytes[0] * 0x0101010101010101ull;
    size_t run = 1;
    for (uint64_t word = 0; run + sizeof(word) <= length; run += sizeof(word)) {
        std::memcpy(&word, bytes + run, sizeof(word));
        if (word != pattern) {
            break;
        }
    }
    while (run < length && bytes[run] == bytes[0]) {
        ++run;
    }
    return run;
}

// What the roll does with a window start whose weak sum passed the filter.
enum class Step {
    next_byte,   // roll on by one byte
    jump,        // go on at `to` with a fresh sum
};

// Looks at the window at buffer[at] (source offset `offset`), of which `held` - `at` bytes lie in
// the buffer. A run of one byte value is looked at once per value and then passed whole: every
// window inside it holds the same bytes. Other windows cost the credit a lookup, and an MD5 where
// a missing block has their weak sum; without credit for them the roll passes a block unlooked.
static Step look_at(Search& search, uint32_t source, uint32_t weak, const unsigned char* buffer, size_t at,
                    size_t held, uint64_t offset, size_t& to)
{
    const uint32_t block_size = search.map.block_size;
    search.credit += static_cast<int64_t>(offset - search.credited_to);
    search.credited_to = offset;
    to = at + block_size;
    if (search.credit < lookup_cost) {
        search.stats.bytes_unlooked += block_size;
        return Step::jump;
    }
    search.credit -= lookup_cost;
    ++search.stats.lookups;
    uint32_t entry = find_block_entry(search.index, weak);
    if (entry == not_in_index) {
        return Step::next_byte;
    }
    size_t run = offset < search.mixed_until ? 0 : uniform_run(buffer + at, held - at);
    if (run >= block_size) {
        uint32_t& done = search.uniform_done[buffer[at] / 32];
        uint32_t bit = uint32_t(1) << (buffer[at] % 32);
        if ((done & bit) == 0 && search.index.entry_missing[entry] != 0) {
            search.credit -= block_size;
            confirm_window(search, entry, buffer + at, source, offset);
        }
        done |= bit;
        to = at + run - block_size + 1;
        if (at + run < held) {
            search.mixed_until = offset + run;
        }
        return Step::jump;
    }
    if (run != 0) {
        search.mixed_until = offset + run;
    }
    if (search.index.entry_missing[entry] == 0) {
        return Step::next_byte;
    }
    if (search.credit < int64_t(block_size)) {
        search.stats.bytes_unlooked += block_size;
        return Step::jump;
    }
    if (confirm_window(search, entry, buffer + at, source, offset) != 0) {
        return Step::jump;
    }
    search.credit -= block_size;
    return Step::next_byte;
}

// Rolls the weak sum over the windows that start in [begin, end) of a source. The buffer holds
// the window starts [base, base + window) and one block beyond, so rolling past a start reads
// the byte that enters without a bounds check.
static bool roll_over(Search& search, uint32_t source, uint64_t pass_start, uint64_t begin, uint64_t end)
{
    const uint32_t block_size = search.map.block_size;
    const uint64_t size = search.sources[source].size;
    unsigned char* buffer = search.buffer.data();
    uint64_t base = begin;
    size_t held = bytes_to_hold(search, base, end);
    if (!read_span(search, source, base, buffer, held, size)) {
        return false;
    }
    search.credited_to = begin;
    size_t at = 0;
    bool fresh = true;
    RollingSum sum = {0, 0};
    while (base + at < end && search.missing != 0) {
        if (at >= search.window) {
            size_t kept = held - at;
            std::memmove(buffer, buffer + at, kept);
            base += at;
            at = 0;
            held = bytes_to_hold(search, base, end);
            if (!read_span(search, source, base + kept, buffer + kept, held - kept, size) ||
                !report(search, pass_start, base)) {
                return false;
            }
        }
        if (fresh) {
            sum = start_rolling_sum(weak_sum(buffer + at, block_size));
            fresh = false;
        }
        size_t stop = static_cast<size_t>(std::min<uint64_t>(search.window, end - base));
        at = roll_to_candidate(search.index, buffer, at, stop, block_size, sum);
        if (at == stop) {
            continue;
        }
        size_t to = 0;
        if (look_at(search, source, rolled_weak_sum(sum), buffer, at, held, base + at, to) == Step::jump) {
            at = to;
            fresh = true;
        } else {
            roll_sum(sum, buffer[at], buffer[at + block_size], block_size);
            ++at;
        }
    }
    return report(search, pass_start, std::min(end, size));
}

// The second pass over one source: the runs of blocks that did not match in place, and whatever
// lies past the new file's blocks.
static bool roll_over_unmatched(Search& search, uint32_t source, uint64_t pass_start,
                                const std::vector<unsigned char>& status)
{
    const uint64_t block_size = search.map.block_size;
    const uint64_t size = search.sources[source].size;
    uint32_t blocks = static_cast<uint32_t>(status.size());
    std::fill(std::begin(search.uniform_done), std::end(search.uniform_done), 0);
    search.mixed_until = 0;
    for (uint32_t first = 0; first < blocks;) {
        if (status[first] != no_match) {
            ++first;
            continue;
        }
        uint32_t last = first;
        while (last < blocks && status[last] == no_match) {
            ++last;
        }
        if (!roll_over(search, source, pass_start, first * block_size, std::min(size, last * block_size))) {
            return false;
        }
        first = last;
    }
    uint64_t beyond = blocks * block_size;
    if (beyond < size && !roll_over(search, source, pass_start, beyond, size)) {
        return false;
    }
    return report(search, pass_start, size);
}

static bool check_map(const BlockMap& map, std::string& error_text)
{
    if (map.block_size == 0 || map.file_size > block_map_max_file_size ||
        map.block_size != block_map_block_size(map.file_size) ||
        map.weak.size() != block_map_block_count(map.file_size) ||
        map.strong_length != block_map_strong_length(map.file_size) ||
        map.strong.size() != map.weak.size() * map.strong_length) {
        error_text = "an inconsistent block map";
        return false;
    }
    if (map.block_size > max_search_block_size) {
        error_text = "blocks too large to search";
        return false;
    }
    return true;
}

// Both passes over every source, the first over all of them before the second.
static bool search_sources(Search& search)
{
    const std::vector<DeltaSource>& sources = search.sources;
    std::vector<std::vector<unsigned char>> status(sources.size());
    uint64_t pass_start = 0;
    for (uint32_t source = 0; source < sources.size(); ++source) {
        if (!compare_in_place(search, source, pass_start, status[source])) {
            return false;
        }
        pass_start += sources[source].size;
    }
    for (uint32_t source = 0; source < sources.size() && search.missing != 0; ++source) {
        bool rolled = sources[source].in_place_only ? report(search, pass_start, sources[source].size)
                                                    : roll_over_unmatched(search, source, pass_start, status[source]);
        if (!rolled) {
            return false;
        }
        pass_start += sources[source].size;
    }
    return search.searched == search.total || report(search, search.total, 0);
}

bool search_blocks(const BlockMap& map, const std::vector<DeltaSource>& sources, const SearchProgress* progress,
                   std::vector<BlockOrigin>& origins, std::string& error_text, SearchStats* stats)
{
    if (!check_map(map, error_text)) {
        return false;
    }
    origins.assign(map.weak.size(), BlockOrigin{0, block_not_found});
    Search search = {map, sources, progress, origins, error_text, BlockIndex(), 0, 0, {}, 0, 0, SearchStats(), 0, 0,
                     {}, 0};
    build_block_index(map, search.index);
    search.missing = static_cast<uint32_t>(map.weak.size());
    // A window never needs to be larger than the largest source, rounded up to whole blocks.
    uint64_t largest = 0;
    for (const DeltaSource& source : sources) {
        search.total += 2 * source.size;
        largest = std::max(largest, source.size);
    }
    uint64_t blocks_needed = std::max<uint64_t>(1, largest / map.block_size + 1);
    search.window = static_cast<size_t>(std::min<uint64_t>(blocks_needed * map.block_size,
                                                           std::max<size_t>(window_length, map.block_size)));
    search.buffer.resize(search.window + map.block_size);
    search.credit = static_cast<int64_t>(std::max<uint64_t>(window_length, credit_blocks * uint64_t(map.block_size)));
    bool searched = search_sources(search);
    if (stats != nullptr) {
        *stats = search.stats;
    }
    return searched;
}
