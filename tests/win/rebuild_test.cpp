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

std::string random_bytes(size_t size, unsigned seed)
{
    std::string bytes(size, '\0');
    uint32_t state = seed * 2654435761u + 1;
    for (char& byte : bytes) {
        state = state * 1664525u + 1013904223u;
        byte = char(state >> 24);
    }
    return bytes;
}

std::string sha256_text(const std::string& bytes)
{
    std::string text;
    std::string error_text;
    EXPECT_TRUE(sha256_text_of(bytes.data(), bytes.size(), text, error_text)) << error_text;
    return text;
}

std::string map_of(const std::string& file)
{
    BlockMapWriter writer;
    start_block_map(file.size(), writer);
    feed_block_map(writer, file.data(), file.size());
    std::string map;
    std::string error_text;
    EXPECT_TRUE(finish_block_map(writer, map, error_text)) << error_text;
    return map;
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
};

Outcome rebuild(const std::string& dir, const std::string& file, const MapReference& map, int connections = 3,
                const std::string& object = "")
{
    Outcome outcome = {Rebuild::failed, "untouched", {}};
    UpdateEntry entry = {"big.pak", md5_text(file), file.size(), false, "", object};
    outcome.rebuild = rebuild_file(test_source(dir), listed_file(entry), map, dir + "big.pak", connections,
                                   recording_transfer_sink(outcome.reports), outcome.error_text);
    return outcome;
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
    MapReference map = publish(file, map_of(file));

    Outcome outcome = rebuild(dir, file, map);
    ASSERT_EQ(Rebuild::placed, outcome.rebuild) << outcome.error_text;
    std::string got;
    ASSERT_TRUE(read_file(dir + "big.pak", got));
    EXPECT_TRUE(got == file);
    EXPECT_FALSE(file_exists(dir + "big.pak.part"));
    EXPECT_FALSE(file_exists(dir + "big.pak.part.tag"));
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
}

// With objects a delta's ranges come from the file's object, never from its path.
TEST(RebuildFile, AsksTheObjectForItsRanges)
{
    std::string dir = fresh_game_folder();
    std::string old_file = random_bytes(2 * mib, 5);
    std::string file = old_file;
    std::copy_n(random_bytes(5000, 6).begin(), 5000, file.begin() + 700000);
    write_file(dir + "big.pak", old_file);
    MapReference map = publish(old_file, map_of(file));
    std::string object = "objects/" + md5_text(file) + "-" + std::to_string(file.size());
    serve_file(object, file);

    Outcome outcome = rebuild(dir, file, map, 3, object);
    ASSERT_EQ(Rebuild::placed, outcome.rebuild) << outcome.error_text;
    std::string got;
    ASSERT_TRUE(read_file(dir + "big.pak", got));
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
// ranges, one that answers another range, and a file that is not the listed one once rebuilt.
TEST(RebuildFile, FallsBackOnAnythingUnexpected)
{
    std::string old_file = random_bytes(2 * mib, 5);
    std::string file = old_file;
    std::copy_n(random_bytes(5000, 6).begin(), 5000, file.begin() + 70000);
    std::string map = map_of(file);
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
        {"a rebuilt file that is not the listed one", good, "{}", damaged},
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
    MapReference map = publish(file, map_of(file));
    set_rules(R"({"/big.pak": {"drop_after": 100000, "times": 1}})");
    Outcome cut = rebuild(dir, file, map, 1);
    EXPECT_EQ(Rebuild::failed, cut.rebuild);
    EXPECT_EQ("connection lost", cut.error_text);
    std::string tag;
    ASSERT_TRUE(read_file(dir + "big.pak.part.tag", tag));
    EXPECT_EQ(md5_text(file) + "\nrebuilt from blocks\n", tag);

    set_rules("{}");
    clear_request_log();
    Outcome again = rebuild(dir, file, map, 1);
    ASSERT_EQ(Rebuild::placed, again.rebuild) << again.error_text;
    std::string got;
    ASSERT_TRUE(read_file(dir + "big.pak", got));
    EXPECT_TRUE(got == file);
    EXPECT_LE(total(bytes_sent_for("/big.pak")), 300000u - 100000u + 2 * 4096u);

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
    publish(old_file, map_of(old_file));
    clear_request_log();
    Outcome from_old = rebuild(dir, old_file, MapReference{"maps/big.map", map_of(old_file).size(),
                                                           sha256_text(map_of(old_file))});
    ASSERT_EQ(Rebuild::placed, from_old.rebuild) << from_old.error_text;
    EXPECT_TRUE(requests_for("/big.pak").empty());
}
