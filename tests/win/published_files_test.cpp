// make_manifest verify's checks through the launcher's own WinINet requests: a size told by a
// one-byte range, or by the Content-Length of a server without ranges with the body left
// unread; the digests of --deep; block maps.
#include <gtest/gtest.h>

#include "tests/win/test_support.h"
#include "tools/release_check.h"

namespace {

const int connections = 4;
const char no_range_line[] = "server: no range support: no resume, no delta updates: expected 206 to a request for "
                             "bytes 0-0, the server answered 200 with the whole file";

UpdateEntry entry_for(const std::string& path, const std::string& content)
{
    return UpdateEntry{path, md5_text(content), content.size(), false};
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
    std::vector<std::string> asked = requests_for("/data/big%20file.bin");
    ASSERT_EQ(asked.size(), 1u);
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

TEST(PublishedFiles, DeepChecksAndBlockMapsFindBytesOtherThanTheListed)
{
    fresh_game_folder();
    serve_file("a.bin", "right");
    serve_file("maps/a.bin.map", "map bytes");
    const std::string map_sha256 = "8ab930f4a30374f4fb060115801f09570d64710839bc2f82f3ddec7ea36c12ee";
    UpdateList list;
    list.files = {entry_for("a.bin", "wrong")};
    list.maps = {BlockMapLine{"a.bin", "maps/a.bin.map", 9, map_sha256},
                 BlockMapLine{"a.bin", "maps/a.bin.map", 9, std::string(64, '0')},
                 BlockMapLine{"a.bin", "maps/gone.map", 9, map_sha256}};
    std::vector<std::string> map_problems = {
        "maps/a.bin.map (block map of a.bin): wrong SHA-256: expected " + std::string(64, '0') +
            ", the server gave " + map_sha256,
        "maps/gone.map (block map of a.bin): missing (check the upload and the letter case): expected 9 bytes, "
        "the server answered 404"};
    EXPECT_EQ(check(list, false).problems, map_problems);
    map_problems.insert(map_problems.begin(), "a.bin: wrong MD5: expected " + md5_text("wrong") +
                                                  ", the server gave " + md5_text("right"));
    EXPECT_EQ(check(list, true).problems, map_problems);
}
