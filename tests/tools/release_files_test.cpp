// Reading a release folder on a POSIX system: what the walk lists or refuses, and the digest
// and size of each file.
#include "tools/publishing/release_hash.h"
#include "tools/publishing/release_walk.h"

#include "delta/block_map.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

static std::string fresh_folder(const std::string& name)
{
    const char* base = std::getenv("TOOLS_TEST_TMP");
    std::string root = std::string(base != nullptr ? base : "/tmp") + "/" + name;
    std::system(("rm -rf '" + root + "' && mkdir -p '" + root + "'").c_str());
    return root;
}

static void write_file(const std::string& path, const std::string& content)
{
    FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr) << path;
    std::fwrite(content.data(), 1, content.size(), file);
    std::fclose(file);
}

static std::vector<std::string> listed_paths(const std::string& root)
{
    std::vector<ReleaseFile> files;
    std::string reason;
    EXPECT_TRUE(list_release_files(root, files, reason)) << reason;
    std::vector<std::string> paths;
    for (const ReleaseFile& file : files) {
        paths.push_back(file.path + ":" + std::to_string(file.size));
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

TEST(ReleaseWalk, ListsEveryFileBelowTheFolderWithSlashes)
{
    std::string root = fresh_folder("walk");
    ASSERT_EQ(mkdir((root + "/data").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((root + "/data/maps").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((root + "/empty").c_str(), 0755), 0);
    write_file(root + "/main.exe", "MZ");
    write_file(root + "/data/maps/m1.map", "12345");
    write_file(root + "/.hidden", "");
    ASSERT_EQ(symlink("maps/m1.map", (root + "/data/linked.map").c_str()), 0);
    EXPECT_EQ(listed_paths(root), (std::vector<std::string>{".hidden:0", "data/linked.map:5", "data/maps/m1.map:5",
                                                            "main.exe:2"}));
    EXPECT_EQ(listed_paths(root + "/"), listed_paths(root));
}

TEST(ReleaseWalk, RefusesWhatIsNeitherFileNorFolderAndLinkLoops)
{
    std::vector<ReleaseFile> files;
    std::string reason;
    std::string root = fresh_folder("walk-loop");
    ASSERT_EQ(mkdir((root + "/a").c_str(), 0755), 0);
    ASSERT_EQ(symlink("..", (root + "/a/up").c_str()), 0);
    EXPECT_FALSE(list_release_files(root, files, reason));
    EXPECT_EQ(reason, "a/up: a link back to a folder that contains it");

    root = fresh_folder("walk-fifo");
    ASSERT_EQ(mkfifo((root + "/pipe").c_str(), 0644), 0);
    EXPECT_FALSE(list_release_files(root, files, reason));
    EXPECT_EQ(reason, "pipe: neither a file nor a folder");

    root = fresh_folder("walk-dangling");
    ASSERT_EQ(symlink("missing", (root + "/gone").c_str()), 0);
    EXPECT_FALSE(list_release_files(root, files, reason));
    EXPECT_EQ(reason.compare(0, 16, "gone: can't read"), 0) << reason;

    EXPECT_FALSE(list_release_files(root + "/gone-too", files, reason));
    EXPECT_NE(reason.find("not a folder"), std::string::npos);
}

// The first word that `command` prints: a digest tool's answer.
static std::string first_word(const std::string& command)
{
    FILE* pipe = popen(command.c_str(), "r");
    char line[128] = {0};
    bool read = pipe != nullptr && std::fgets(line, sizeof line, pipe) != nullptr;
    if (pipe != nullptr) {
        pclose(pipe);
    }
    std::string text = read ? line : "";
    return text.substr(0, text.find(' '));
}

TEST(ReleaseHash, GivesTheDigestsAndSizeOfWhatWasRead)
{
    std::string root = fresh_folder("hash");
    std::string big;
    for (int i = 0; i < 3 * 1024 * 1024 + 17; ++i) {
        big += static_cast<char>('a' + i % 26);
    }
    write_file(root + "/abc.txt", "abc");
    write_file(root + "/empty", "");
    write_file(root + "/big", big);
    HashProgress progress;
    start_hash_progress(3, 3 + big.size(), true, progress);
    FileDigests digests = {"", "untouched", 99};
    std::string reason;
    ASSERT_TRUE(digest_file(root + "/abc.txt", DigestRequest{false, false, 3}, progress, digests, reason)) << reason;
    EXPECT_EQ(digests.md5, "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(digests.sha256, "");
    EXPECT_EQ(digests.size, 3u);
    ASSERT_TRUE(digest_file(root + "/empty", DigestRequest{true, false, 0}, progress, digests, reason)) << reason;
    EXPECT_EQ(digests.md5, "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(digests.sha256, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(digests.size, 0u);
    ASSERT_TRUE(digest_file(root + "/big", DigestRequest{true, false, big.size()}, progress, digests, reason)) << reason;
    EXPECT_EQ(digests.size, big.size());
    EXPECT_EQ(progress.files_done, 3u);
    EXPECT_EQ(progress.bytes_done, 3 + big.size());
    EXPECT_EQ(digests.md5, first_word("md5sum '" + root + "/big'"));
    EXPECT_EQ(digests.sha256, first_word("sha256sum '" + root + "/big'"));

    // The map written on the second thread is the one the writer makes of the same bytes in one
    // piece; it is left out when the file's size is not the walk's.
    ASSERT_TRUE(digest_file(root + "/big", DigestRequest{false, true, big.size()}, progress, digests, reason));
    BlockMapWriter writer;
    start_block_map(big.size(), writer);
    feed_block_map(writer, big.data(), big.size());
    std::string map;
    ASSERT_TRUE(finish_block_map(writer, map, reason));
    EXPECT_EQ(digests.block_map, map);
    ASSERT_TRUE(digest_file(root + "/big", DigestRequest{false, true, big.size() + 1}, progress, digests, reason));
    EXPECT_EQ(digests.size, big.size());
    EXPECT_EQ(digests.block_map, "");

    EXPECT_FALSE(digest_file(root + "/missing", DigestRequest{true, false, 0}, progress, digests, reason));
    EXPECT_EQ(reason.compare(0, 10, "can't open"), 0) << reason;
}
