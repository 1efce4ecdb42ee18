// The local check against real files, with no window and no process-wide state: what the digest
// cache spares, what makes a file be read or fetched again, keep entries, the launcher's own entry
// and the check's progress reports.
#include <gtest/gtest.h>

#include "game_folder/local_check.h"
#include "tests/win/test_support.h"
#include "update_list/local_path.h"

namespace {

UpdateEntry entry_for(const std::string& path, const std::string& content, bool keep = false)
{
    return UpdateEntry{path, md5_text(content), content.size(), keep};
}

FILETIME write_time_of(const std::string& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data);
    return data.ftLastWriteTime;
}

void set_write_time(const std::string& path, FILETIME time)
{
    HANDLE file = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, NULL,
                              OPEN_EXISTING, 0, NULL);
    SetFileTime(file, NULL, NULL, &time);
    CloseHandle(file);
}

const char launcher_file[] = "launcher.exe";

// One pass's check as the worker runs it: load the cache file, check, save it.
LocalCheck check_pass(const std::string& dir, const std::vector<UpdateEntry>& files,
                      SinkLog* reports = nullptr)
{
    SinkLog ignored;
    HashCache cache;
    load_hash_cache(dir, cache);
    LocalCheck check;
    check_local_files(dir, launcher_file, files, cache, 1,
                      recording_check_sink(reports ? *reports : ignored), check);
    save_hash_cache(dir, cache);
    return check;
}

}  // namespace

TEST(LocalCheck, HashesOnceThenTrustsTheRecordWhileSizeAndTimeHold)
{
    std::string dir = fresh_game_folder();
    std::string content = "the real content";
    write_file(dir + "a.bin", content);
    std::vector<UpdateEntry> files = {entry_for("A.bin", content)};

    EXPECT_TRUE(check_pass(dir, files).download_list.empty());
    HashCache cache;
    load_hash_cache(dir, cache);
    ASSERT_EQ(1u, cache.count("a.bin"));
    EXPECT_EQ(md5_text(content), cache["a.bin"].md5);
    EXPECT_EQ(content.size(), cache["a.bin"].size);

    // Same size, same write time, other bytes: only a pass that reads the file could notice.
    FILETIME time = write_time_of(dir + "a.bin");
    write_file(dir + "a.bin", "the fake content");
    set_write_time(dir + "a.bin", time);
    EXPECT_TRUE(check_pass(dir, files).download_list.empty());

    // A touch makes the next pass read it: the record is refreshed and the file is fetched.
    FILETIME later = time;
    later.dwLowDateTime += 10000000;
    if (later.dwLowDateTime < time.dwLowDateTime)
        ++later.dwHighDateTime;
    set_write_time(dir + "a.bin", later);
    LocalCheck check = check_pass(dir, files);
    ASSERT_EQ(1u, check.download_list.size());
    cache.clear();
    load_hash_cache(dir, cache);
    EXPECT_EQ(md5_text("the fake content"), cache["a.bin"].md5);
}

TEST(LocalCheck, TouchedFileIsHashedAgainAndNotFetched)
{
    std::string dir = fresh_game_folder();
    write_file(dir + "b.bin", "content");
    std::vector<UpdateEntry> files = {entry_for("b.bin", "content")};
    check_pass(dir, files);
    HashCache before;
    load_hash_cache(dir, before);

    FILETIME time = write_time_of(dir + "b.bin");
    time.dwHighDateTime += 1;
    set_write_time(dir + "b.bin", time);
    EXPECT_TRUE(check_pass(dir, files).download_list.empty());
    HashCache after;
    load_hash_cache(dir, after);
    EXPECT_NE(before["b.bin"].write_time, after["b.bin"].write_time);
    EXPECT_EQ(md5_text("content"), after["b.bin"].md5);
}

TEST(LocalCheck, MissingResizedAndDifferentFilesAreFetchedInListOrder)
{
    std::string dir = fresh_game_folder();
    write_file(dir + "resized.bin", "short");
    write_file(dir + "other.bin", "XXXXX");
    write_file(dir + "same.bin", "same");
    std::vector<UpdateEntry> files = {entry_for("missing.bin", "12345678"),
                                      entry_for("resized.bin", "much longer"),
                                      entry_for("same.bin", "same"),
                                      entry_for("other.bin", "YYYYY")};
    LocalCheck check = check_pass(dir, files);
    ASSERT_EQ(3u, check.download_list.size());
    EXPECT_EQ("missing.bin", check.download_list[0].path);
    EXPECT_EQ("resized.bin", check.download_list[1].path);
    EXPECT_EQ("other.bin", check.download_list[2].path);
    EXPECT_EQ(8u + 11u + 5u, check.download_total);
    EXPECT_EQ(-1, check.self_index);

    HashCache cache;
    load_hash_cache(dir, cache);
    EXPECT_EQ(0u, cache.count("resized.bin"));  // another size: not read
    EXPECT_EQ(md5_text("XXXXX"), cache["other.bin"].md5);
}

TEST(LocalCheck, KeepEntriesNeedOnlyAFileOrFolderOfTheirName)
{
    std::string dir = fresh_game_folder();
    write_file(dir + "settings.cfg", "player's own settings, another size");
    CreateDirectoryA((dir + "screenshots").c_str(), NULL);
    std::vector<UpdateEntry> files = {entry_for("settings.cfg", "defaults", true),
                                      entry_for("screenshots", "", true),
                                      entry_for("missing.cfg", "defaults", true)};
    LocalCheck check = check_pass(dir, files);
    ASSERT_EQ(1u, check.download_list.size());
    EXPECT_EQ("missing.cfg", check.download_list[0].path);
    HashCache cache;
    load_hash_cache(dir, cache);
    EXPECT_TRUE(cache.empty());
}

TEST(LocalCheck, CutCacheLineMakesTheFileBeFetchedAndTheDownloadRecordReplacesIt)
{
    std::string dir = fresh_game_folder();
    write_file(dir + "c.bin", "content");
    std::vector<UpdateEntry> files = {entry_for("c.bin", "content")};
    check_pass(dir, files);
    std::string text;
    ASSERT_TRUE(read_file(dir + "launcher.cache", text));
    write_file(dir + "launcher.cache", text.substr(0, text.size() - 10));

    HashCache cache;
    load_hash_cache(dir, cache);
    LocalCheck check;
    SinkLog unused;
    check_local_files(dir, launcher_file, files, cache, 1, recording_check_sink(unused), check);
    ASSERT_EQ(1u, check.download_list.size());
    EXPECT_EQ(23u, cache["c.bin"].md5.size());  // the line feed and 9 digits cut
    record_download(dir, files[0], cache);
    EXPECT_EQ(md5_text("content"), cache["c.bin"].md5);
    EXPECT_EQ(7u, cache["c.bin"].size);
}

// A cache that can't take its place (held open by another program) stays as it was, and its
// temporary file goes.
TEST(LocalCheck, CacheThatCantBeReplacedKeepsTheOldOneAndLeavesNoTemporaryFile)
{
    std::string dir = fresh_game_folder();
    write_file(dir + "launcher.cache", "kept.bin|1|2|abc\n");
    HANDLE held = CreateFileA((dir + "launcher.cache").c_str(), GENERIC_READ, FILE_SHARE_READ, NULL,
                              OPEN_EXISTING, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    HashCache cache;
    cache["new.bin"] = CacheRecord{3, 4, "def"};
    save_hash_cache(dir, cache);
    CloseHandle(held);
    std::string text;
    ASSERT_TRUE(read_file(dir + "launcher.cache", text));
    EXPECT_EQ("kept.bin|1|2|abc\n", text);
    EXPECT_FALSE(file_exists(dir + "launcher.cache.tmp"));
}

// The parts (and their tags) of listed files go, in any letter case; those of names the list does
// not hold stay: they may be another program's.
TEST(LocalCheck, PartFilesOfListedNamesGoAndThoseOfOtherNamesStay)
{
    std::string dir = fresh_game_folder();
    CreateDirectoryA((dir + "data").c_str(), NULL);
    for (const char* part : {"data\\A.BIN.PART", "data\\a.bin.part.tag", "data\\other.bin.part",
                             "data\\other.bin.part.tag", "b.txt.Part", "b.txt.parts", "c.txt.part"})
        write_file(dir + part, "x");
    remove_part_files(dir, {entry_for("data/a.bin", "a"), entry_for("B.TXT", "b")});
    for (const char* gone : {"data\\A.BIN.PART", "data\\a.bin.part.tag", "b.txt.Part"})
        EXPECT_FALSE(file_exists(dir + gone)) << gone;
    for (const char* kept : {"data\\other.bin.part", "data\\other.bin.part.tag", "b.txt.parts", "c.txt.part"})
        EXPECT_TRUE(file_exists(dir + kept)) << kept;
}

TEST(LocalCheck, RecordsOfUnlistedFilesSurviveAndForeignKeysStay)
{
    std::string dir = fresh_game_folder();
    write_file(dir + "launcher.cache", "Upper.bin|1|2|abc\nold/gone.bin|3|4|def\n");
    check_pass(dir, {entry_for("new.bin", "x")});
    std::string text;
    ASSERT_TRUE(read_file(dir + "launcher.cache", text));
    EXPECT_EQ("Upper.bin|1|2|abc\nold/gone.bin|3|4|def\n", text);
}

TEST(LocalCheck, LauncherEntryIsFoundInAnyLetterCaseButNotInAFolder)
{
    std::string dir = fresh_game_folder();
    LocalCheck check = check_pass(dir, {entry_for("data/launcher.exe", "a"), entry_for("x.bin", "b"),
                                   entry_for("LAUNCHER.EXE", "c"), entry_for("y.bin", "d")});
    ASSERT_EQ(4u, check.download_list.size());
    EXPECT_EQ(2, check.self_index);
}

TEST(LocalCheck, ReportsBeforeEverySixteenthEntry)
{
    std::string dir = fresh_game_folder();
    std::vector<UpdateEntry> files;
    for (int i = 0; i < 17; ++i)
        files.push_back(entry_for("f" + std::to_string(i) + ".bin", "z"));
    SinkLog reports;
    LocalCheck check = check_pass(dir, files, &reports);
    EXPECT_EQ(17u, check.download_list.size());
    EXPECT_EQ((SinkLog{{0, 17}, {16, 17}}), reports);
}

// Files missing, resized, changed, current by their record and current by their bytes, a touched
// record, a keep entry and the launcher's own, judged on one thread and on four.
TEST(LocalCheck, ManyThreadsFindWhatOneFindsAndReportInTheSameOrder)
{
    std::string dir = fresh_game_folder();
    std::vector<UpdateEntry> files;
    for (int i = 0; i < 40; ++i) {
        std::string name = "d" + std::to_string(i % 3) + "/f" + std::to_string(i) + ".bin";
        std::string listed = pattern_bytes(1000 + size_t(i) * 997);
        files.push_back(entry_for(name, listed, i == 7));
        CreateDirectoryA((dir + "d" + std::to_string(i % 3)).c_str(), NULL);
        if (i % 5 == 1)
            continue;
        std::string on_disk = listed;
        if (i % 5 == 2)
            on_disk[on_disk.size() / 2] ^= 1;
        if (i % 5 == 3)
            on_disk += "longer";
        write_file(join_local_path(dir, name), on_disk);
    }
    files.push_back(entry_for("LAUNCHER.exe", "new launcher"));
    write_file(dir + "launcher.cache", "d0/f0.bin|1|2|stale\n");

    std::vector<LocalCheck> checks;
    std::vector<std::string> caches;
    std::vector<SinkLog> reports(2);
    for (int threads : {1, 4}) {
        HashCache cache;
        load_hash_cache(dir, cache);
        LocalCheck check;
        check_local_files(dir, launcher_file, files, cache, threads,
                          recording_check_sink(reports[checks.size()]), check);
        checks.push_back(check);
        caches.push_back(hash_cache_text(cache));
    }
    ASSERT_EQ(checks[0].download_list.size(), checks[1].download_list.size());
    for (size_t i = 0; i < checks[0].download_list.size(); ++i)
        EXPECT_EQ(checks[0].download_list[i].path, checks[1].download_list[i].path);
    EXPECT_EQ(24u, checks[1].download_list.size());
    EXPECT_EQ(checks[0].download_total, checks[1].download_total);
    EXPECT_EQ(23, checks[1].self_index);
    EXPECT_EQ(caches[0], caches[1]);
    EXPECT_EQ((SinkLog{{0, 41}, {16, 41}, {32, 41}}), reports[1]);
    EXPECT_EQ(reports[0], reports[1]);
}
