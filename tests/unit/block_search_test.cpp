// The block search and the range plan: what is found where, in one source or two, for data in
// place, moved, repeated or cut short, and which ranges are left to fetch.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "delta/block_map.h"
#include "delta/block_search.h"
#include "delta/range_plan.h"

static const uint32_t block = 4096;

static std::string random_bytes(size_t length, uint32_t seed)
{
    std::string bytes(length, '\0');
    for (char& byte : bytes) {
        seed = seed * 1103515245u + 12345u;
        byte = static_cast<char>(seed >> 23);
    }
    return bytes;
}

static BlockMap map_of(const std::string& file)
{
    BlockMapWriter writer;
    start_block_map(file.size(), writer);
    feed_block_map(writer, file.data(), file.size());
    std::string bytes;
    std::string reason;
    BlockMap map;
    EXPECT_TRUE(finish_block_map(writer, bytes, reason));
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
                          std::vector<BlockOrigin>* found = nullptr, const std::vector<bool>& in_place_only = {})
{
    BlockMap map = map_of(file);
    std::vector<DeltaSource> sources;
    for (const std::string* text : held) {
        sources.push_back(source_of(*text));
        sources.back().in_place_only = sources.size() <= in_place_only.size() && in_place_only[sources.size() - 1];
    }
    std::vector<BlockOrigin> origins;
    std::string reason;
    EXPECT_TRUE(search_blocks(map, sources, nullptr, origins, reason)) << reason;
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
