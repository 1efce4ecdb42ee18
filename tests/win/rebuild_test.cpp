// Rebuilding a file from blocks against the test server, with no window: what it fetches, what it
// refuses and leaves to a whole download, and how a cut rebuild goes on from its part.
#include <gtest/gtest.h>

#include <algorithm>

#include "delta/block_map.h"
#include "digest/sha256.h"
#include "engine/download_batch.h"
#include "rebuild/rebuild_file.h"
#include "tests/win/test_support.h"

namespace {

const uint64_t mib = 1024 * 1024;

std::string sha256_text(const std::string& bytes)
{
    std::string text;
    std::string error_text;
    EXPECT_TRUE(sha256_text_of(bytes.data(), bytes.size(), text, error_text)) << error_text;
    return text;
}

// Serves `file` as "big.pak" and its map (or `map` instead) as "maps/big.map".
MapReference publish(const std::string& file, const std::string& map)
{
    serve_file("big.pak", file);
    serve_file("maps/big.map", map);
    return MapReference{"maps/big.map", map.size(), sha256_text(map)};
}

struct Outcome {
    Rebuild rebuild;
    std::string error_text;
    SinkLog reports;
    std::vector<unsigned> searched;  // every report of the search
};

void record_search(void* context, unsigned thousandths)
{
    static_cast<Outcome*>(context)->searched.push_back(thousandths);
}

void record_bytes(void* context, uint64_t on_hand, uint64_t arrived)
{
    static_cast<Outcome*>(context)->reports.emplace_back(on_hand, arrived);
}

// With `memory` the attempt goes on from the one before that had it; with `object` the file's
// bytes lie there.
Outcome rebuild(const std::string& dir, const std::string& file, const MapReference& map, int connections = 3,
                RebuildMemory* memory = nullptr, const std::string& object = "")
{
    Outcome outcome = {Rebuild::failed, "untouched", {}, {}};
    UpdateEntry entry = {"big.pak", md5_text(file), file.size(), false, "", object};
    RebuildMemory fresh;
    outcome.rebuild = rebuild_file(test_source(dir), listed_file(entry), map, dir + "big.pak", connections,
                                   RebuildSink{record_search, record_bytes, &outcome}, memory ? *memory : fresh,
                                   outcome.error_text);
    return outcome;
}

// Clears the request log once the server has logged what it sent for every request of big.pak:
// the count of an answer cut short lands after the launcher has seen the cut.
void clear_request_log_when_settled()
{
    for (int wait = 0; wait < 100 && bytes_sent_for("/big.pak").size() < requests_for("/big.pak").size(); ++wait)
        Sleep(20);
    clear_request_log();
}

uint64_t size_on_disk(const std::string& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data))
        return 0;
    return (uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

uint64_t total(const std::vector<uint64_t>& counts)
{
    uint64_t sum = 0;
    for (uint64_t count : counts)
        sum += count;
    return sum;
}

}  // namespace

// An old copy changed in two places, with bytes put in near its start: the map and single-range
// requests for what changed come from the server, the rest from the disk.
TEST(RebuildFile, FetchesOnlyWhatTheOldCopyLacks)
{
    std::string dir = fresh_game_folder();
    std::string old_file = random_bytes(3 * mib, 1);
    std::string file = old_file.substr(0, 5000) + random_bytes(777, 2) + old_file.substr(5000);
    std::copy_n(random_bytes(10000, 3).begin(), 10000, file.begin() + 1000000);
    std::copy_n(random_bytes(300, 4).begin(), 300, file.begin() + 2500000);
    write_file(dir + "big.pak", old_file);
    MapReference map = publish(file, block_map_of(file));

    Outcome outcome = rebuild(dir, file, map);
    ASSERT_EQ(Rebuild::placed, outcome.rebuild) << outcome.error_text;
    std::string got;
    ASSERT_TRUE(read_file(dir + "big.pak.part", got));
    EXPECT_TRUE(got == file);
    ASSERT_TRUE(read_file(dir + "big.pak", got));
    EXPECT_TRUE(got == old_file);
    std::string tag;
    ASSERT_TRUE(read_file(dir + "big.pak.part.tag", tag));
    EXPECT_EQ(md5_text(file) + "\nrebuilt and verified\n", tag);
    uint64_t fetched = total(bytes_sent_for("/big.pak"));
    EXPECT_LT(fetched, 64 * 1024u);
    EXPECT_EQ(1u, requests_for("/maps/big.map").size());
    for (const std::string& request : requests_for("/big.pak")) {
        size_t range = request.find("\"range\": \"bytes=");
        ASSERT_NE(std::string::npos, range) << request;
        std::string asked = request.substr(range, request.find('"', range + 10) - range);
        EXPECT_EQ(std::string::npos, asked.find(',')) << "several ranges in one request: " << request;
    }
    ASSERT_FALSE(outcome.reports.empty());
    EXPECT_EQ(file.size(), outcome.reports.back().first);
    EXPECT_EQ(fetched, outcome.reports.back().second);
    // The search tells how far it has come as it goes, and its end.
    ASSERT_GE(outcome.searched.size(), 2u);
    EXPECT_LT(outcome.searched.front(), 1000u);
    EXPECT_EQ(1000u, outcome.searched.back());
    EXPECT_TRUE(std::is_sorted(outcome.searched.begin(), outcome.searched.end()));
}

// With objects a delta's ranges come from the file's object, never from its path.
TEST(RebuildFile, AsksTheObjectForItsRanges)
{
    std::string dir = fresh_game_folder();
    std::string old_file = random_bytes(2 * mib, 5);
    std::string file = old_file;
    std::copy_n(random_bytes(5000, 6).begin(), 5000, file.begin() + 700000);
    write_file(dir + "big.pak", old_file);
    MapReference map = publish(old_file, block_map_of(file));
    std::string object = "objects/" + md5_text(file) + "-" + std::to_string(file.size());
    serve_file(object, file);

    Outcome outcome = rebuild(dir, file, map, 3, nullptr, object);
    ASSERT_EQ(Rebuild::placed, outcome.rebuild) << outcome.error_text;
    std::string got;
    ASSERT_TRUE(read_file(dir + "big.pak.part", got));
    EXPECT_TRUE(got == file);
    EXPECT_TRUE(requests_for("/big.pak").empty());
    std::vector<std::string> requests = requests_for("/" + object);
    ASSERT_FALSE(requests.empty());
    for (const std::string& request : requests)
        EXPECT_NE(std::string::npos, request.find("\"range\": \"bytes=")) << request;
    EXPECT_LT(total(bytes_sent_for("/" + object)), 64 * 1024u);
}

// Whatever is not as it should be leaves the old file as it was and the rebuild to a whole
// download: a missing map, one the list names with another size or digest, a server without
// ranges, one that answers another range or more bytes than the range, a file changed on the
// server between two ranges, and a file that is not the listed one once rebuilt.
TEST(RebuildFile, FallsBackOnAnythingUnexpected)
{
    std::string old_file = random_bytes(2 * mib, 5);
    std::string file = old_file;
    // The first range the rebuild asks for is exactly one read of the launcher's long.
    std::copy_n(random_bytes(65536, 6).begin(), 65536, file.begin() + 65536);
    std::copy_n(random_bytes(5000, 7).begin(), 5000, file.begin() + 1500000);
    std::string map = block_map_of(file);
    struct Case {
        const char* what;
        MapReference map;
        std::string rules;
        std::string served;  // the file as the server has it
    };
    MapReference good = {"maps/big.map", map.size(), sha256_text(map)};
    MapReference missing = good;
    missing.location = "maps/none.map";
    MapReference larger = good;
    larger.size += 1;
    MapReference other_digest = good;
    other_digest.sha256[0] = other_digest.sha256[0] == '0' ? '1' : '0';
    std::string damaged = file;
    damaged[72000] ^= 1;  // within the blocks the old copy lacks, so the rebuild fetches it
    const Case cases[] = {
        {"no map", missing, "{}", file},
        {"a map larger than the format allows", larger, "{}", file},
        {"a map that is not the one listed", other_digest, "{}", file},
        {"a server without ranges", good, R"({"/big.pak": {"no_range": true}})", file},
        {"another range", good, R"({"/big.pak": {"wrong_range": 4096}})", file},
        {"a range answer longer than the range", good, R"({"/big.pak": {"long_range": 3000, "times": 1}})", file},
        {"a rebuilt file that is not the listed one", good, "{}", damaged},
        {"the file changed between ranges", good,
         R"({"/big.pak": {"etag": "\"before\"", "times": 1, "then": {"etag": "\"after\""}}})", file},
    };
    for (const Case& c : cases) {
        std::string dir = fresh_game_folder();
        write_file(dir + "big.pak", old_file);
        publish(c.served, map);
        set_rules(c.rules);
        Outcome outcome = rebuild(dir, file, c.map);
        EXPECT_EQ(Rebuild::fall_back, outcome.rebuild) << c.what << ": " << outcome.error_text;
        std::string got;
        ASSERT_TRUE(read_file(dir + "big.pak", got));
        EXPECT_TRUE(got == old_file) << c.what;
    }
    // The file that changed was noticed by the second range, which asked with the first one's ETag.
    std::vector<std::string> asked = requests_for("/big.pak");
    ASSERT_EQ(2u, asked.size());
    EXPECT_NE(std::string::npos, asked[1].find(R"("if_range": "\"before\"")")) << asked[1];
}

// A rebuild cut while its ranges arrive keeps its part, marked as rebuilt so that no download
// takes it for the start of the file; the next one finds the blocks in place there and fetches
// only what is still missing. A part of another version is no source at all.
TEST(RebuildFile, ACutRebuildGoesOnFromItsPart)
{
    std::string dir = fresh_game_folder();
    std::string old_file = random_bytes(2 * mib, 8);
    std::string file = old_file.substr(0, mib) + random_bytes(300000, 9) + old_file.substr(mib + 300000);
    write_file(dir + "big.pak", old_file);
    MapReference map = publish(file, block_map_of(file));
    set_rules(R"({"/big.pak": {"drop_after": 100000, "times": 1}})");
    Outcome cut = rebuild(dir, file, map, 1);
    EXPECT_EQ(Rebuild::failed, cut.rebuild);
    EXPECT_EQ("connection lost", cut.error_text);
    std::string tag;
    ASSERT_TRUE(read_file(dir + "big.pak.part.tag", tag));
    EXPECT_EQ(md5_text(file) + "\nrebuilt from blocks\n", tag);

    set_rules("{}");
    clear_request_log_when_settled();
    Outcome again = rebuild(dir, file, map, 1);
    ASSERT_EQ(Rebuild::placed, again.rebuild) << again.error_text;
    std::string got;
    ASSERT_TRUE(read_file(dir + "big.pak.part", got));
    EXPECT_TRUE(got == file);
    EXPECT_LE(total(bytes_sent_for("/big.pak")), 300000u - 100000u + 2 * 4096u);

    // The verified rebuilt part waits for the switch: a download keeps it without a request.
    clear_request_log();
    UpdateEntry verified = {"big.pak", md5_text(file), file.size(), false};
    SinkLog kept_reports;
    std::string kept_error;
    ASSERT_TRUE(download_file(test_source(dir), listed_file(verified), dir + "big.pak",
                              recording_transfer_sink(kept_reports), kept_error))
        << kept_error;
    EXPECT_TRUE(request_log().empty());

    // The whole download fetches the file anew rather than go on from a rebuilt part.
    write_file(dir + "big.pak.part", file.substr(0, 500000));
    write_file(dir + "big.pak.part.tag", md5_text(file) + "\nrebuilt from blocks\n");
    clear_request_log();
    UpdateEntry entry = {"big.pak", md5_text(file), file.size(), false};
    SinkLog reports;
    std::string error_text;
    ASSERT_TRUE(download_file(test_source(dir), listed_file(entry), dir + "big.pak", recording_transfer_sink(reports),
                              error_text))
        << error_text;
    std::vector<std::string> requests = requests_for("/big.pak");
    ASSERT_EQ(1u, requests.size());
    EXPECT_NE(std::string::npos, requests[0].find("\"range\": \"\""));

    // A part of another version beside an unchanged old copy: the old copy gives every block.
    write_file(dir + "big.pak", old_file);
    write_file(dir + "big.pak.part", random_bytes(file.size(), 10));
    write_file(dir + "big.pak.part.tag", md5_text("another version") + "\n\"etag\"\n");
    publish(old_file, block_map_of(old_file));
    clear_request_log();
    Outcome from_old = rebuild(dir, old_file, MapReference{"maps/big.map", block_map_of(old_file).size(),
                                                           sha256_text(block_map_of(old_file))});
    ASSERT_EQ(Rebuild::placed, from_old.rebuild) << from_old.error_text;
    EXPECT_TRUE(requests_for("/big.pak").empty());
}

// A retry in the same pass goes on from what the attempt before learnt: no second map, no second
// search, and only the bytes that had not arrived; one after a broken-off whole download takes
// the part's prefix in place, tag and all.
TEST(RebuildFile, ARetryGoesOnFromWhatTheAttemptBeforeLearnt)
{
    std::string dir = fresh_game_folder();
    std::string old_file = random_bytes(3 * mib, 11);
    std::string file = old_file.substr(0, mib) + random_bytes(400000, 12) + old_file.substr(mib + 400000);
    write_file(dir + "big.pak", old_file);
    MapReference map = publish(file, block_map_of(file));
    set_rules(R"({"/big.pak": {"drop_after": 150000, "times": 1}})");
    RebuildMemory memory;
    Outcome cut = rebuild(dir, file, map, 1, &memory);
    ASSERT_EQ(Rebuild::failed, cut.rebuild);
    EXPECT_LT(cut.searched.front(), 1000u);

    clear_request_log_when_settled();
    Outcome again = rebuild(dir, file, map, 1, &memory);
    ASSERT_EQ(Rebuild::placed, again.rebuild) << again.error_text;
    std::string got;
    ASSERT_TRUE(read_file(dir + "big.pak.part", got));
    EXPECT_TRUE(got == file);
    EXPECT_TRUE(requests_for("/maps/big.map").empty());
    EXPECT_EQ((std::vector<unsigned>{1000}), again.searched);
    EXPECT_LE(total(bytes_sent_for("/big.pak")), 400000u - 150000u + 2 * 4096u);
    for (const std::string& request : requests_for("/big.pak"))
        EXPECT_EQ(std::string::npos, request.find("\"if_range\": \"\"")) << request;

    // The old copy changed in its first 4 KiB blocks; the new file's first bytes are in a part
    // that a whole download left, which breaks off inside a block.
    std::string head_changed = random_bytes(40000, 13) + file.substr(40000);
    write_file(dir + "big.pak", file);
    write_file(dir + "big.pak.part", head_changed.substr(0, 30000));
    write_file(dir + "big.pak.part.tag", md5_text(head_changed) + "\n\"etag\"\n");
    publish(head_changed, block_map_of(head_changed));
    clear_request_log();
    Outcome from_part = rebuild(dir, head_changed, MapReference{"maps/big.map", block_map_of(head_changed).size(),
                                                                sha256_text(block_map_of(head_changed))});
    ASSERT_EQ(Rebuild::placed, from_part.rebuild) << from_part.error_text;
    ASSERT_TRUE(read_file(dir + "big.pak.part", got));
    EXPECT_TRUE(got == head_changed);
    EXPECT_LE(total(bytes_sent_for("/big.pak")), 3 * 4096u);
}

// A list may name any size up to what a map can describe: the part takes the file's size only
// where the disk has room for it, and the map of a file that can't fit is not searched at all.
TEST(RebuildFile, ThePartTakesTheFileSizeOnlyWhereTheDiskHasRoom)
{
    std::string dir = fresh_game_folder();
    write_file(dir + "big.pak", random_bytes(2 * mib, 14));
    const uint64_t size = uint64_t(1) << 47;
    std::string map(size_t(max_block_map_size(size)), '\0');
    std::copy_n(block_map_magic, 8, map.begin());
    uint32_t block_size = block_map_block_size(size);
    for (int i = 0; i < 8; ++i)
        map[size_t(8 + i)] = char(size >> (8 * i));
    for (int i = 0; i < 4; ++i)
        map[size_t(16 + i)] = char(block_size >> (8 * i));
    map[20] = char(block_map_weak_length);
    map[21] = char(block_map_strong_length(size));
    serve_file("maps/big.map", map);
    UpdateEntry entry = {"big.pak", md5_text("never served"), size, false};
    Outcome outcome = {Rebuild::placed, "", {}, {}};
    RebuildMemory memory;
    outcome.rebuild = rebuild_file(test_source(dir), listed_file(entry),
                                   MapReference{"maps/big.map", map.size(), sha256_text(map)}, dir + "big.pak", 3,
                                   RebuildSink{record_search, record_bytes, &outcome}, memory, outcome.error_text);
    EXPECT_EQ(Rebuild::failed, outcome.rebuild);
    EXPECT_EQ("not enough free disk space", outcome.error_text);
    EXPECT_EQ(0u, size_on_disk(dir + "big.pak.part"));
    EXPECT_TRUE(outcome.searched.empty());
    EXPECT_EQ(2 * mib, size_on_disk(dir + "big.pak"));
}
