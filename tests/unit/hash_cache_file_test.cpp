// The digest cache file: its exact text, and the loose reading of lines written by hand,
// cut off, or by older launchers.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "update_list/hash_cache.h"

static std::string temp_file(const std::string& name)
{
    const char* folder = std::getenv("UNIT_TEST_TMP");
    std::filesystem::path dir = folder != nullptr && *folder != '\0'
                                    ? std::filesystem::path(folder)
                                    : std::filesystem::temp_directory_path() / "launcher-unit-tests";
    std::filesystem::create_directories(dir);
    return (dir / name).string();
}

static void write_file(const std::string& file_name, const std::string& bytes)
{
    FILE* file = std::fopen(file_name.c_str(), "wb");
    ASSERT_NE(file, nullptr) << file_name;
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
}

static HashCache read_cache_text(const std::string& text)
{
    std::string file_name = temp_file("read.cache");
    write_file(file_name, text);
    HashCache cache;
    read_hash_cache_file(file_name, cache);
    return cache;
}

TEST(HashCacheFile, KeyLowersOnlyAsciiLetters)
{
    EXPECT_EQ(cache_key("Data\\Maps/M1.MAP"), "data\\maps/m1.map");
    EXPECT_EQ(cache_key("\xc9\xe9@[`{Z"), "\xc9\xe9@[`{z");
}

TEST(HashCacheFile, WritesOneLinePerRecordInByteOrderAndReadsItBack)
{
    HashCache cache;
    cache["b.txt"] = {UINT64_MAX, 133000000000000000ULL, "0123456789abcdef0123456789abcdef"};
    cache["\xe9.txt"] = {0, 0, ""};
    cache["a/b.txt"] = {1234, 1, "x|y"};
    cache["a"] = {5, 6, "d"};
    std::string text = hash_cache_text(cache);
    EXPECT_EQ(text,
              "a|5|6|d\n"
              "a/b.txt|1234|1|x|y\n"
              "b.txt|18446744073709551615|133000000000000000|0123456789abcdef0123456789abcdef\n"
              "\xe9.txt|0|0|\n");

    HashCache loaded = read_cache_text(text);
    ASSERT_EQ(loaded.size(), cache.size());
    for (const auto& item : cache) {
        const CacheRecord& record = loaded.at(item.first);
        EXPECT_EQ(record.size, item.second.size) << item.first;
        EXPECT_EQ(record.write_time, item.second.write_time) << item.first;
        EXPECT_EQ(record.md5, item.second.md5) << item.first;
    }

    EXPECT_EQ(hash_cache_text(HashCache()), "");
}

TEST(HashCacheFile, ReadingIsLooserThanWriting)
{
    HashCache cache = read_cache_text(
        "two|bars|only\n"
        "\n"
        "crlf|1|2|abc\r\n"
        "Upper.TXT|3|4|kept as written\n"
        "same|1|1|first\n"
        "same|2|2|second\n"
        "numbers| 7x|-1|d\n"
        "empty|||\r\r\n"
        "cut|9|9|0123456789");
    ASSERT_EQ(cache.size(), 6u);
    EXPECT_EQ(cache.at("crlf").md5, "abc");
    EXPECT_EQ(cache.at("Upper.TXT").md5, "kept as written");
    EXPECT_EQ(cache.count("upper.txt"), 0u);
    EXPECT_EQ(cache.at("same").md5, "second");
    EXPECT_EQ(cache.at("same").size, 2u);
    EXPECT_EQ(cache.at("numbers").size, 7u);
    EXPECT_EQ(cache.at("numbers").write_time, UINT64_MAX);
    EXPECT_EQ(cache.at("empty").size, 0u);
    EXPECT_EQ(cache.at("empty").md5, "");
    EXPECT_EQ(cache.at("cut").md5, "0123456789");
}

TEST(HashCacheFile, LongLinesAreReadIn599BytePieces)
{
    // The first piece holds the key and the start of the digest; the rest of the line is a
    // piece of its own and becomes a record when it holds three "|".
    std::string first = "long|1|2|" + std::string(599 - 9, 'd');
    HashCache cache = read_cache_text(first + "tail|3|4|e\nnext|5|6|f\n");
    ASSERT_EQ(cache.size(), 3u);
    EXPECT_EQ(cache.at("long").md5, std::string(599 - 9, 'd'));
    EXPECT_EQ(cache.at("tail").size, 3u);
    EXPECT_EQ(cache.at("next").md5, "f");

    cache = read_cache_text(std::string(598, 'k') + "|1|2|x\n");
    EXPECT_TRUE(cache.empty());
}

TEST(HashCacheFile, MissingFileAddsNothingAndReadingAddsToWhatIsThere)
{
    HashCache cache;
    cache["old"] = {1, 2, "m"};
    read_hash_cache_file(temp_file("no-such-dir/none.cache"), cache);
    ASSERT_EQ(cache.size(), 1u);

    std::string file_name = temp_file("add.cache");
    write_file(file_name, "new|3|4|n\nold|5|6|o\n");
    read_hash_cache_file(file_name, cache);
    ASSERT_EQ(cache.size(), 2u);
    EXPECT_EQ(cache.at("old").md5, "o");
}
