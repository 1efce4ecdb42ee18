// The delta core: the two block sums, the map's sizing rules at their edges, the written format
// against a known answer and every way the reader refuses a map the rules would not have written;
// then what the block search finds where, in one source or two, for data in place, moved,
// repeated or cut short, what weak sums that collide make it take and how much work maps of
// colliding sums can make it do, and which ranges the plan leaves to fetch.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "delta/block_map.h"
#include "delta/block_search.h"
#include "delta/block_sums.h"
#include "delta/range_plan.h"

static std::string random_bytes(size_t length, uint32_t seed)
{
    std::string bytes(length, '\0');
    for (char& byte : bytes) {
        seed = seed * 1103515245u + 12345u;
        byte = static_cast<char>(seed >> 23);
    }
    return bytes;
}

static const unsigned char* bytes_of(const std::string& text)
{
    return reinterpret_cast<const unsigned char*>(text.data());
}

// The weak sum as defined, one byte at a time.
static uint32_t defined_weak_sum(const std::string& bytes)
{
    uint32_t a = 0;
    uint32_t b = 0;
    for (size_t i = 0; i < bytes.size(); ++i) {
        a += static_cast<unsigned char>(bytes[i]);
        b += static_cast<uint32_t>(bytes.size() - i) * static_cast<unsigned char>(bytes[i]);
    }
    return (a & 0xffff) | (b << 16);
}

TEST(BlockSums, WeakSumIsItsDefinitionAtEveryLengthAndRollsExactly)
{
    const unsigned char three[] = {1, 2, 3};
    EXPECT_EQ(weak_sum(three, 3), 6u | (10u << 16));
    std::string bytes = random_bytes(5000, 7);
    for (size_t length : {0, 1, 15, 16, 17, 31, 33, 255, 4095, 4096, 5000}) {
        EXPECT_EQ(weak_sum(bytes_of(bytes), length), defined_weak_sum(bytes.substr(0, length))) << length;
    }
    EXPECT_EQ(weak_sum(bytes_of(std::string(4096, '\xff')), 4096), defined_weak_sum(std::string(4096, '\xff')));
    const uint32_t window = 4096;
    RollingSum rolled = start_rolling_sum(weak_sum(bytes_of(bytes), window));
    for (size_t at = 1; at + window <= bytes.size(); ++at) {
        roll_sum(rolled, bytes_of(bytes)[at - 1], bytes_of(bytes)[at + window - 1], window);
        ASSERT_EQ(rolled_weak_sum(rolled), weak_sum(bytes_of(bytes) + at, window)) << at;
    }
}

TEST(BlockMapSizes, FollowTheRulesAtTheirEdges)
{
    const uint64_t mib = 1024 * 1024;
    const uint64_t gib = 1024 * mib;
    EXPECT_EQ(block_map_block_size(0), 4096u);
    EXPECT_EQ(block_map_block_size(gib), 4096u);
    EXPECT_EQ(block_map_block_size(gib + 1), 8192u);
    EXPECT_EQ(block_map_block_size(5 * gib), 32768u);
    EXPECT_EQ(block_map_block_size(block_map_max_file_size), 1u << 31);
    EXPECT_EQ(block_map_block_count(0), 0u);
    EXPECT_EQ(block_map_block_count(4097), 2u);
    EXPECT_EQ(block_map_block_count(gib + 1), (1u << 17) + 1);
    EXPECT_EQ(block_map_block_count(block_map_max_file_size), 1u << 18);
    // 8L >= 20 + log2(size) + log2(blocks): 2^16 bytes in 16 blocks is exactly 2^20.
    EXPECT_EQ(block_map_strong_length(0), 4u);
    EXPECT_EQ(block_map_strong_length(65536), 5u);
    EXPECT_EQ(block_map_strong_length(65537), 6u);
    EXPECT_EQ(block_map_strong_length(mib), 6u);
    EXPECT_EQ(block_map_strong_length(gib), 9u);
    EXPECT_EQ(block_map_strong_length(5 * gib), 9u);
    EXPECT_EQ(block_map_strong_length(block_map_max_file_size), 11u);
    EXPECT_EQ(max_block_map_size(gib), 24u + (uint64_t(1) << 18) * 13);
    EXPECT_EQ(max_block_map_size(0), 24u);
    EXPECT_EQ(max_block_map_size(block_map_max_file_size + 1), 0u);
    for (uint64_t size = mib; size <= block_map_max_file_size; size = size * 3 / 2 + 1) {
        ASSERT_LE(max_block_map_size(size) * 200, size) << size;
    }
}

// A 5000-byte file: a block of 'a', then 904 'b' summed with 3192 zero bytes; 5 MD5 bytes.
static const std::string known_file = std::string(4096, 'a') + std::string(904, 'b');
static const std::string known_map(
    "LBMAP01\n\x88\x13\0\0\0\0\0\0\0\x10\0\0\x04\x05\0\0"
    "\x00\x10\x00\x08\x21\xa1\x99\xc5\x3f"
    "\x10\x5a\xc8\xa8\x9a\xdc\xac\xf2\x88",
    42);

static std::string map_in_pieces(const std::string& file, size_t piece)
{
    BlockMapWriter writer;
    start_block_map(file.size(), writer);
    for (size_t at = 0; at < file.size(); at += piece) {
        feed_block_map(writer, file.data() + at, std::min(piece, file.size() - at));
    }
    std::string map;
    std::string reason;
    EXPECT_TRUE(finish_block_map(writer, map, reason)) << reason;
    return map;
}

TEST(BlockMap, WritesTheKnownMapFromAnyPiecesAndReadsItBack)
{
    for (size_t piece : {1, 7, 4095, 4096, 4097, 5000}) {
        EXPECT_EQ(map_in_pieces(known_file, piece), known_map) << piece;
    }
    BlockMap map;
    std::string reason;
    ASSERT_TRUE(read_block_map(known_map.data(), known_map.size(), known_file.size(), map, reason)) << reason;
    EXPECT_EQ(map.file_size, 5000u);
    EXPECT_EQ(map.block_size, 4096u);
    EXPECT_EQ(map.strong_length, 5u);
    EXPECT_EQ(map.weak, (std::vector<uint32_t>{0x08001000u, 0xa8c85a10u}));
    EXPECT_EQ(std::string(map.strong.begin(), map.strong.end()), "\x21\xa1\x99\xc5\x3f\x9a\xdc\xac\xf2\x88");
    EXPECT_EQ(block_map_block_length(map, 0), 4096u);
    EXPECT_EQ(block_map_block_length(map, 1), 904u);

    std::string empty = map_in_pieces("", 1);
    EXPECT_EQ(empty.size(), 24u);
    ASSERT_TRUE(read_block_map(empty.data(), empty.size(), 0, map, reason)) << reason;
    EXPECT_TRUE(map.weak.empty());

    BlockMapWriter writer;
    start_block_map(5000, writer);
    feed_block_map(writer, known_file.data(), 4999);
    EXPECT_FALSE(finish_block_map(writer, empty, reason));
    EXPECT_EQ(reason, "the file's size changed while it was read");
}

TEST(BlockMap, ReaderRefusesWhatTheRulesWouldNotHaveWritten)
{
    struct Case {
        size_t at;          // byte changed, or npos to change the length
        char value;         // its new value
        uint64_t size;      // the listed file size
        const char* reason;
    };
    const size_t length_case = std::string::npos;
    const Case cases[] = {
        {0, 'l', 5000, "not a block map"},
        {7, '\r', 5000, "not a block map"},
        {0, 'L', 5001, "a map for another file size"},
        {15, '\x01', 5000, "a map for another file size"},
        {17, '\x20', 5000, "a wrong block size"},
        {20, '\x08', 5000, "a wrong weak sum length"},
        {21, '\x10', 5000, "a wrong strong sum length"},
        {length_case, '\0', 5000, "a map of the wrong length"},
    };
    for (const Case& c : cases) {
        std::string bytes = known_map;
        if (c.at == length_case) {
            bytes += c.value;
        } else {
            bytes[c.at] = c.value;
        }
        BlockMap map;
        std::string reason;
        EXPECT_FALSE(read_block_map(bytes.data(), bytes.size(), c.size, map, reason)) << c.reason;
        EXPECT_EQ(reason, c.reason);
    }
    BlockMap map;
    std::string reason;
    EXPECT_FALSE(read_block_map(known_map.data(), known_map.size() - 1, 5000, map, reason));
    EXPECT_EQ(reason, "a map of the wrong length");
    EXPECT_FALSE(read_block_map(known_map.data(), 23, 5000, map, reason));
    EXPECT_EQ(reason, "not a block map");
    std::string huge = known_map.substr(0, 24);
    huge[14] = '\x02';  // 2^49 + 5000
    EXPECT_FALSE(read_block_map(huge.data(), huge.size(), block_map_max_file_size + 5000, map, reason));
    EXPECT_EQ(reason, "a file too large for a block map");
}

static const uint32_t block = 4096;

static BlockMap map_of(const std::string& file)
{
    std::string bytes = map_in_pieces(file, std::max<size_t>(file.size(), 1));
    std::string reason;
    BlockMap map;
    EXPECT_TRUE(read_block_map(bytes.data(), bytes.size(), file.size(), map, reason)) << reason;
    return map;
}

static size_t read_text(void* context, uint64_t offset, void* buffer, size_t length)
{
    const std::string& text = *static_cast<const std::string*>(context);
    size_t count = offset >= text.size() ? 0 : std::min<size_t>(length, text.size() - offset);
    std::memcpy(buffer, text.data() + offset, count);
    return count;
}

static DeltaSource source_of(const std::string& text)
{
    return DeltaSource{read_text, const_cast<std::string*>(&text), text.size()};
}

// Searches `file`'s map in `held`, checks that every block found holds the file's bytes there,
// and returns the source of each block ('-' when not found, else '0', '1'...).
static std::string search(const std::string& file, const std::vector<const std::string*>& held,
                          std::vector<BlockOrigin>* found = nullptr, const std::vector<bool>& in_place_only = {},
                          SearchStats* stats = nullptr)
{
    BlockMap map = map_of(file);
    std::vector<DeltaSource> sources;
    for (const std::string* text : held) {
        sources.push_back(source_of(*text));
        sources.back().in_place_only = sources.size() <= in_place_only.size() && in_place_only[sources.size() - 1];
    }
    std::vector<BlockOrigin> origins;
    std::string reason;
    EXPECT_TRUE(search_blocks(map, sources, nullptr, origins, reason, stats)) << reason;
    std::string where;
    for (uint32_t index = 0; index < origins.size(); ++index) {
        if (origins[index].source == block_not_found) {
            where += '-';
            continue;
        }
        where += static_cast<char>('0' + origins[index].source);
        const std::string& text = *held[origins[index].source];
        uint32_t length = block_map_block_length(map, index);
        EXPECT_LE(origins[index].offset + length, text.size()) << index;
        EXPECT_EQ(text.compare(origins[index].offset, length, file, uint64_t(index) * block, length), 0) << index;
    }
    if (found != nullptr) {
        *found = origins;
    }
    return where;
}

TEST(BlockSearch, FindsAnUnchangedFileInPlaceAndReportsItsProgress)
{
    std::string file = random_bytes(10 * block + 100, 1);
    std::vector<BlockOrigin> origins;
    EXPECT_EQ(search(file, {&file}, &origins), "00000000000");
    for (uint32_t index = 0; index < origins.size(); ++index) {
        EXPECT_EQ(origins[index].offset, uint64_t(index) * block);
    }
    struct Counted {
        uint64_t last, total, calls, stop_after;
    };
    SearchProgress progress = {[](void* context, uint64_t done, uint64_t total) {
                                   Counted& counted = *static_cast<Counted*>(context);
                                   EXPECT_GE(done, counted.last);
                                   counted.last = done;
                                   counted.total = total;
                                   return ++counted.calls != counted.stop_after;
                               },
                               nullptr};
    Counted counted = {0, 0, 0, 0};
    progress.context = &counted;
    BlockMap map = map_of(file);
    std::string reason;
    ASSERT_TRUE(search_blocks(map, {source_of(file)}, &progress, origins, reason));
    EXPECT_EQ(counted.total, 2 * file.size());
    EXPECT_EQ(counted.last, counted.total);
    counted = Counted{0, 0, 0, 1};
    EXPECT_FALSE(search_blocks(map, {source_of(file)}, &progress, origins, reason));
    EXPECT_EQ(reason, "stopped");
}

TEST(BlockSearch, FindsDataThatMovedAcrossWindows)
{
    // Three windows' worth, so the roll crosses the buffer's refills; 1000 bytes come in at the
    // start and a block and a half goes from the middle.
    std::string old_file = random_bytes(3 * 1024 * 1024 + 5000, 2);
    std::string file = random_bytes(1000, 3) + old_file.substr(0, 2000000) + old_file.substr(2000000 + 6144);
    std::string where = search(file, {&old_file});
    // Lost: the block with the inserted bytes and the one across the cut.
    EXPECT_EQ(std::count(where.begin(), where.end(), '-'), 2) << where;
    EXPECT_EQ(where[0], '-');
    EXPECT_EQ(where[(1000 + 2000000) / block], '-');
}

TEST(BlockSearch, OneFindServesEveryRepeatOfABlock)
{
    std::string repeated = random_bytes(block, 4);
    std::string file = repeated + repeated + random_bytes(block, 5) + repeated + repeated;
    std::string old_file = random_bytes(777, 6) + repeated;
    std::vector<BlockOrigin> origins;
    EXPECT_EQ(search(file, {&old_file}, &origins), "00-00");
    EXPECT_EQ(origins[4].offset, 777u);
    // A file of zeros: one group, found in a source of zeros shorter than the file.
    std::string zeros(20 * block, '\0');
    std::string few_zeros(block + 1, '\0');
    EXPECT_EQ(search(zeros, {&few_zeros}), std::string(20, '0'));
}

TEST(BlockSearch, TakesABlockOnlyWhereAllItsBytesLieInTheSource)
{
    // The short last block (904 bytes) is found where it ends the source, as summed with zeros.
    std::string file = random_bytes(2 * block + 904, 7);
    std::string tail_only = random_bytes(5000, 8) + file.substr(2 * block);
    EXPECT_EQ(search(file, {&tail_only}), "--0");
    // In place, a longer source's bytes past the file's end count as the zeros the file has.
    std::string longer = file + random_bytes(9000, 9);
    EXPECT_EQ(search(file, {&longer}), "000");
    // A block whose end is zeros is not taken from a source that ends before those zeros.
    std::string zero_end = random_bytes(block - 10, 10) + std::string(10, '\0') + random_bytes(block, 11);
    std::string cut = zero_end.substr(0, block - 10);
    EXPECT_EQ(search(zero_end, {&cut}), "--");
    // Files and sources shorter than one block, and an empty source.
    std::string small = random_bytes(100, 12);
    std::string around = random_bytes(37, 13) + small;
    std::string empty;
    EXPECT_EQ(search(small, {&empty, &around}), "1");
    EXPECT_EQ(search(small, {&empty}), "-");
    EXPECT_EQ(search(small, {&small}), "0");
    EXPECT_EQ(search(empty, {&small}), "");
}

TEST(BlockSearch, TwoSourcesEachGiveWhatTheyHold)
{
    std::string file = random_bytes(12 * block, 15);
    std::string old_half = file.substr(0, 6 * block) + random_bytes(6 * block, 16);
    std::string part = random_bytes(6 * block, 17) + file.substr(6 * block, 4 * block);
    EXPECT_EQ(search(file, {&old_half, &part}), "0000001111--");
    // The second source's blocks moved: found by the roll over it.
    std::string moved = random_bytes(3000, 18) + file.substr(6 * block);
    EXPECT_EQ(search(file, {&old_half, &moved}), "000000111111");
    // Unless that source is the file being rebuilt: its other bytes may be overwritten before
    // they are copied, so only what it holds in place counts.
    EXPECT_EQ(search(file, {&old_half, &moved}, nullptr, {false, true}), "000000------");
    EXPECT_EQ(search(file, {&old_half, &part}, nullptr, {false, true}), "0000001111--");
}

TEST(BlockSearch, RefusesShortReadsAndMapsTheRulesWouldNotHaveWritten)
{
    std::string file = random_bytes(3 * block, 19);
    BlockMap map = map_of(file);
    std::string empty;
    DeltaSource failing = {[](void*, uint64_t, void*, size_t) { return size_t(0); }, nullptr, file.size()};
    std::vector<BlockOrigin> origins;
    std::string reason;
    EXPECT_FALSE(search_blocks(map, {source_of(empty), failing}, nullptr, origins, reason));
    EXPECT_EQ(reason, "can't read source 1");
    map.weak.pop_back();
    EXPECT_FALSE(search_blocks(map, {source_of(file)}, nullptr, origins, reason));
    EXPECT_EQ(reason, "an inconsistent block map");
}

TEST(BlockSearch, TakesOnlyTheBlockWhoseStrongSumMatchesAWeakSumItShares)
{
    // Zeros and blanks share the weak sum 0; so do a random block and itself with +1, -2, +1
    // added to three neighbouring bytes (the byte sum and the weighted sum both stay).
    std::string zeros(block, '\0');
    std::string blanks(block, ' ');
    std::string plain = random_bytes(block, 20);
    for (size_t at = 100; at < 103; ++at) {
        plain[at] = '\x40';
    }
    std::string twin = plain;
    twin[100] = '\x41';
    twin[101] = '\x3e';
    twin[102] = '\x41';
    ASSERT_EQ(weak_sum(bytes_of(plain), block), weak_sum(bytes_of(twin), block));
    ASSERT_EQ(weak_sum(bytes_of(zeros), block), weak_sum(bytes_of(blanks), block));
    std::string file = twin + blanks + plain + zeros;
    std::string old_file = random_bytes(500, 21) + plain + zeros + random_bytes(block, 22);
    EXPECT_EQ(search(file, {&old_file}), "--00");
    std::string old_twin = random_bytes(500, 23) + twin + blanks;
    EXPECT_EQ(search(file, {&old_twin}), "00--");
}

TEST(BlockSearch, PassesRunsOfOneByteAndFindsTheBlocksAroundThem)
{
    // A block found, a run of zeros to pass (the file holds zeros and blanks, which share its
    // weak sum), then a block that begins with zeros right where the run ends, then one more;
    // no block of zeros lies at its own offset there, so the roll alone passes the run.
    std::string first = random_bytes(block, 24);
    std::string second = std::string(10, '\0') + random_bytes(block - 10, 25);
    std::string third = random_bytes(block, 26);
    std::string file = first + std::string(block, ' ') + second + third + std::string(block, '\0');
    std::string old_file = random_bytes(1000, 27) + first + std::string(3 * block + 100, '\0') + second +
                           random_bytes(77, 28) + third;
    SearchStats stats;
    EXPECT_EQ(search(file, {&old_file}, nullptr, {}, &stats), "0-000");
    EXPECT_EQ(stats.bytes_unlooked, 0u);
    EXPECT_LE(stats.strong_checks, 10u);
    // An old archive mostly of zero padding that the new release fills with new bytes, blanks
    // among them: the unchanged head and tail are found, and the padding costs the MD5s of the
    // blocks in place that may match (the one after the head, the blanks) and one more.
    std::string head = random_bytes(3 * block, 29);
    std::string tail = random_bytes(2 * block + 300, 30);
    std::string fill = random_bytes(40 * block, 31);
    fill.replace(17 * block, block, std::string(block, ' '));
    std::string padded = head + std::string(fill.size(), '\0') + tail;
    std::string release = head + fill + tail;
    EXPECT_EQ(search(release, {&padded}, nullptr, {}, &stats), "000" + std::string(40, '-') + "000");
    EXPECT_LE(stats.strong_checks, 3u + 2u + 3u + 1u);
    EXPECT_EQ(stats.bytes_unlooked, 0u);
}

// A source of `size` bytes that repeats `period` from its start.
struct Periodic {
    std::string period;
    uint64_t size;
};

static size_t read_periodic(void* context, uint64_t offset, void* buffer, size_t length)
{
    const Periodic& source = *static_cast<const Periodic*>(context);
    size_t count = offset >= source.size ? 0 : static_cast<size_t>(std::min<uint64_t>(length, source.size - offset));
    for (size_t at = 0; at < count; ++at) {
        static_cast<char*>(buffer)[at] = source.period[(offset + at) % source.period.size()];
    }
    return count;
}

// A map such as a hostile server could write for a file of `file_size` bytes: block i has the
// weak sum weak_of(i) and a strong sum that no bytes here have.
template <typename WeakOf>
static BlockMap hostile_map(uint64_t file_size, WeakOf weak_of)
{
    BlockMap map = {file_size, block_map_block_size(file_size), block_map_strong_length(file_size), {}, {}};
    std::string strong = random_bytes(size_t(block_map_block_count(file_size)) * map.strong_length, 32);
    map.strong.assign(strong.begin(), strong.end());
    for (uint32_t index = 0; index < block_map_block_count(file_size); ++index) {
        map.weak.push_back(weak_of(index));
    }
    return map;
}

TEST(BlockSearch, MapsOfCollidingWeakSumsCostNoMoreThanAPassOfMD5)
{
    struct Case {
        const char* name;
        BlockMap map;
        Periodic old_copy;
    };
    // Every weak sum the zero block's, against zeros: with 4 KiB blocks and with 16 MiB ones;
    // and a weak sum for every place in a block, against a block repeated, so that every byte
    // the roll passes is a candidate whose MD5 fails.
    std::string pattern = random_bytes(block, 33);
    std::string twice = pattern + pattern;
    Case cases[] = {
        {"zeros", hostile_map(uint64_t(1) << 24, [](uint32_t) { return 0u; }), {std::string(1, '\0'), 6 << 20}},
        {"16 MiB blocks", hostile_map(uint64_t(1) << 42, [](uint32_t) { return 0u; }), {std::string(1, '\0'), 40 << 20}},
        {"every place", hostile_map(uint64_t(block) * block, [&](uint32_t index) {
             return weak_sum(bytes_of(twice) + index, block);
         }), {pattern, 4 << 20}},
    };
    for (Case& c : cases) {
        std::vector<DeltaSource> sources = {DeltaSource{read_periodic, &c.old_copy, c.old_copy.size}};
        std::vector<BlockOrigin> origins;
        std::string reason;
        SearchStats stats;
        ASSERT_TRUE(search_blocks(c.map, sources, nullptr, origins, reason, &stats)) << c.name << ": " << reason;
        EXPECT_EQ(std::count_if(origins.begin(), origins.end(),
                                [](const BlockOrigin& origin) { return origin.source != block_not_found; }),
                  0)
            << c.name;
        // Both passes read the source once; the MD5s and the lookups together come to at most
        // one pass of MD5 each, and a window's worth.
        const uint64_t slack = std::max<uint64_t>(1 << 20, 4 * uint64_t(c.map.block_size));
        EXPECT_LE(stats.bytes_read, 2 * c.old_copy.size + c.map.block_size) << c.name;
        EXPECT_LE(stats.bytes_strong_summed, 2 * c.old_copy.size + slack) << c.name;
        EXPECT_LE(stats.lookups, c.old_copy.size / 4) << c.name;
    }
}

static std::string ranges_text(const std::string& found, uint64_t file_size, uint64_t max_length)
{
    BlockMap map = {file_size, block, 4, {}, {}};
    std::vector<BlockOrigin> origins;
    for (char at : found) {
        origins.push_back(BlockOrigin{0, at == '-' ? block_not_found : 0});
    }
    std::vector<ByteRange> ranges;
    plan_missing_ranges(map, origins, max_length, ranges);
    std::string text;
    for (const ByteRange& range : ranges) {
        text += std::to_string(range.offset / block) + "+" + std::to_string(range.length) + " ";
    }
    return text;
}

TEST(RangePlan, MergesAcrossSmallGapsClipsToTheFileAndCutsLongRanges)
{
    const uint64_t b = block;
    EXPECT_EQ(ranges_text("0000", 4 * b, 0), "");
    EXPECT_EQ(ranges_text("-0000-", 6 * b - 100, 0), "0+" + std::to_string(6 * b - 100) + " ");
    EXPECT_EQ(ranges_text("-00000-", 7 * b, 0), "0+4096 6+4096 ");
    EXPECT_EQ(ranges_text("--0--00000---", 13 * b - 1, 0), "0+20480 10+12287 ");
    EXPECT_EQ(ranges_text("------", 6 * b, 2 * b + 1), "0+8193 2+8193 4+8190 ");
    EXPECT_EQ(ranges_text("-", 5, 3), "0+3 0+2 ");
}
