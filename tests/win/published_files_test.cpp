// make_manifest verify's checks through the launcher's own WinINet requests: a size told by a
// one-byte range, or by the Content-Length of a server without ranges with the body left
// unread; the ranges a delta asks; the digests of --deep; block maps.
#include <gtest/gtest.h>

#include "digest/sha256.h"
#include "tests/win/test_support.h"
#include "tools/checking/release_check.h"

namespace {

const int connections = 4;
const char no_range_line[] = "server: no range support: no resume, no delta updates: expected 206 to a request for "
                             "bytes 0-0, the server answered 200 with the whole file";

UpdateEntry entry_for(const std::string& path, const std::string& content)
{
    return UpdateEntry{path, md5_text(content), content.size(), false};
}

// Serves `bytes` at `location` and lists them as the map of `path`.
BlockMapLine served_map(const std::string& path, const std::string& location, const std::string& bytes)
{
    serve_file(location, bytes);
    std::string sha256;
    std::string error_text;
    EXPECT_TRUE(sha256_text_of(bytes.data(), bytes.size(), sha256, error_text)) << error_text;
    return BlockMapLine{path, location, bytes.size(), sha256};
}

FileCheckResult check(const UpdateList& list, bool deep)
{
    FileCheckSettings settings = {server_url(), connections, deep};
    FileCheckResult result;
    std::string error_text;
    EXPECT_TRUE(check_published_files(settings, list, result, error_text)) << error_text;
    return result;
}

}  // namespace

TEST(PublishedFiles, SizesComeFromOneByteRangesOrFromContentLengthWithTheBodyUnread)
{
    fresh_game_folder();
    std::string big = pattern_bytes(3 << 20);
    serve_file("data/big file.bin", big);
    serve_file("empty.txt", "");
    serve_file("short.bin", "abc");
    UpdateList list;
    list.files = {entry_for("data/big file.bin", big), entry_for("empty.txt", ""), entry_for("short.bin", "abcd"),
                  entry_for("gone.bin", "x")};
    std::vector<std::string> problems = {
        "short.bin: wrong size: expected 4 bytes, the server has 3 bytes",
        "gone.bin: missing (check the upload and the letter case): expected 1 byte, the server answered 404"};
    FileCheckResult result = check(list, false);
    EXPECT_EQ(result.problems, problems);
    EXPECT_LT(result.received, 100u);
    // The largest file is asked a second time, with If-Range.
    std::vector<std::string> asked = requests_for("/data/big%20file.bin");
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_NE(asked[0].find("\"query\": \"v=" + md5_text(big) + "\""), std::string::npos) << asked[0];
    EXPECT_NE(asked[0].find("\"range\": \"bytes=0-0\""), std::string::npos) << asked[0];

    EXPECT_TRUE(result.warnings.empty());

    // Players still get every file without ranges, only slower: a warning, apart from the problems.
    set_rules(R"({"*": {"no_range": true}})");
    result = check(list, false);
    EXPECT_EQ(result.problems, problems);
    EXPECT_EQ(result.warnings, std::vector<std::string>{no_range_line});
    EXPECT_LT(result.received, big.size() / 2);
}

TEST(PublishedFiles, RangesMustComeBackAsAskedAlsoWithIfRange)
{
    fresh_game_folder();
    std::string big = pattern_bytes(3 << 20);
    serve_file("big.bin", big);
    serve_file("small.bin", "abc");
    UpdateList list;
    list.files = {entry_for("small.bin", "abc"), entry_for("big.bin", big)};
    EXPECT_EQ(check(list, false).problems, std::vector<std::string>());
    // The largest file is asked again, for its last byte, with the ETag of its first answer.
    std::vector<std::string> asked = requests_for("/big.bin");
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_NE(asked[1].find("\"range\": \"bytes=3145727-3145727\""), std::string::npos) << asked[1];
    EXPECT_NE(asked[1].find("\"if_range\": \"\\\""), std::string::npos) << asked[1];
    EXPECT_EQ(requests_for("/small.bin").size(), 1u);

    const std::string another = ": the server answers another range than asked (deltas and resumed downloads will "
                                "fetch whole files): expected bytes 0-0, the server answered ";
    set_rules(R"({"*": {"whole_as_partial": true}, "/small.bin": {"wrong_range": 1}})");
    std::vector<std::string> warnings = {"small.bin" + another + "bytes 1-1/3",
                                         "big.bin" + another + "bytes 0-3145727/3145728"};
    FileCheckResult result = check(list, false);
    EXPECT_EQ(result.problems, std::vector<std::string>());
    EXPECT_EQ(result.warnings, warnings);
    EXPECT_LT(result.received, big.size() / 2);

    set_rules(R"({"*": {"etag_per_request": true}})");
    result = check(list, false);
    EXPECT_EQ(result.problems, std::vector<std::string>());
    ASSERT_EQ(result.warnings.size(), 1u);
    const std::string refused = "big.bin: the server does not honour If-Range with its own validator (deltas and "
                                "resumed downloads will fetch whole files): expected bytes 3145727-3145727 to "
                                "If-Range: \"node-";
    EXPECT_EQ(result.warnings[0].compare(0, refused.size(), refused), 0) << result.warnings[0];
    EXPECT_NE(result.warnings[0].find(", the server answered HTTP 200 with the validator \"node-"), std::string::npos)
        << result.warnings[0];
}

TEST(PublishedFiles, DeepChecksAndBlockMapsFindBytesOtherThanTheListed)
{
    fresh_game_folder();
    serve_file("a.bin", "right");
    BlockMapLine map = served_map("a.bin", "maps/a.bin.map", block_map_of("wrong"));
    BlockMapLine wrong_sha256 = map;
    wrong_sha256.sha256 = std::string(64, '0');
    BlockMapLine gone = map;
    gone.location = "maps/gone.map";
    UpdateList list;
    list.files = {entry_for("a.bin", "wrong")};
    // Maps whose bytes are the listed ones, but which the launcher refuses for a file of 5 bytes.
    list.maps = {map, wrong_sha256, gone, served_map("a.bin", "maps/other.map", block_map_of("wrong!")),
                 served_map("a.bin", "maps/short.map", "map bytes")};
    const std::string refused = " (block map of a.bin): refused by the launcher (updates of a.bin will download "
                                "the whole file): expected ";
    std::vector<std::string> map_problems = {
        "maps/a.bin.map (block map of a.bin): wrong SHA-256: expected " + std::string(64, '0') +
            ", the server gave " + map.sha256,
        "maps/gone.map (block map of a.bin): missing (check the upload and the letter case): expected 32 bytes, "
        "the server answered 404"};
    // The launcher fetches a file whole whose map it refuses: a warning.
    std::vector<std::string> map_warnings = {
        "maps/other.map" + refused + "the map of a file of 5 bytes, the launcher's reader says: a map for another "
                                     "file size",
        "maps/short.map" + refused + "the 32 bytes of the map of a file of 5 bytes, the list names 9 bytes"};
    FileCheckResult sizes_only = check(list, false);
    EXPECT_EQ(sizes_only.problems, map_problems);
    EXPECT_EQ(sizes_only.warnings, map_warnings);
    map_problems.insert(map_problems.begin(), "a.bin: wrong MD5: expected " + md5_text("wrong") +
                                                  ", the server gave " + md5_text("right"));
    EXPECT_EQ(check(list, true).problems, map_problems);
}
