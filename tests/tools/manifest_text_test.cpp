// The update list make_manifest writes: its exact text and order, the values it refuses, and
// that the launcher's own parser reads back every line as written.
#include "tools/publishing/manifest_text.h"

#include <gtest/gtest.h>

#include <utility>

#include <algorithm>

#include "update_list/update_list.h"

static const std::string digest_a = "0cc175b9c0f1b6a831c399e269772661";
static const std::string digest_b = "92eb5ffee6ae2fec3ad71c777531578f";
static const std::string digest_empty = "d41d8cd98f00b204e9800998ecf8427e";

static ManifestFile file(const std::string& path, const std::string& md5, uint64_t size, bool keep = false)
{
    return ManifestFile{path, md5, size, keep};
}

static ManifestSettings settings_with_version(const std::string& version)
{
    ManifestSettings settings;
    settings.version = version;
    return settings;
}

static std::string write_ok(const ManifestSettings& settings, std::vector<ManifestFile> files)
{
    std::string text;
    std::string reason;
    EXPECT_TRUE(write_manifest_text(settings, files, text, reason)) << reason;
    return text;
}

static std::string write_refused(const ManifestSettings& settings, std::vector<ManifestFile> files)
{
    std::string text = "untouched";
    std::string reason;
    EXPECT_FALSE(write_manifest_text(settings, files, text, reason));
    EXPECT_EQ(text, "untouched");
    return reason;
}

TEST(ManifestText, WritesKeysThenEntriesInTheListFormat)
{
    ManifestSettings settings = settings_with_version("1.4.2");
    settings.news = {"Patch 1.4.2 is out.", "", "Have fun!"};
    settings.run = "bin/game.exe";
    settings.deletes = {"old/intro.avi", "readme_old.txt"};
    std::string text = write_ok(settings, {file("options.cfg", digest_b, 1, true), file("bin/game.exe", digest_a, 1),
                                           file("empty.dat", digest_empty, 0)});
    EXPECT_EQ(text,
              "Version=1.4.2\n"
              "News=Patch 1.4.2 is out.\n"
              "News=\n"
              "News=Have fun!\n"
              "Run=bin/game.exe\n"
              "Delete=old/intro.avi\n"
              "Delete=readme_old.txt\n"
              "F|0cc175b9c0f1b6a831c399e269772661|1|bin/game.exe\n"
              "F|d41d8cd98f00b204e9800998ecf8427e|0|empty.dat\n"
              "K|92eb5ffee6ae2fec3ad71c777531578f|1|options.cfg\n");
    EXPECT_EQ(write_ok(settings_with_version("1"), {}), "Version=1\n");
}

TEST(ManifestText, SortsEntriesByteWiseWhateverTheWalkOrder)
{
    std::vector<ManifestFile> files = {file("a.txt", digest_a, 1), file("B.txt", digest_a, 1),
                                       file("a/b", digest_a, 1),   file("a-b", digest_a, 1),
                                       file("\xe9.txt", digest_a, 1), file("a.b/c", digest_a, 1)};
    std::string first = write_ok(settings_with_version("1"), files);
    std::reverse(files.begin(), files.end());
    EXPECT_EQ(write_ok(settings_with_version("1"), files), first);
    std::vector<std::string> order;
    for (size_t at = first.find("|1|"); at != std::string::npos; at = first.find("|1|", at + 1)) {
        order.push_back(first.substr(at + 3, first.find('\n', at) - at - 3));
    }
    EXPECT_EQ(order, (std::vector<std::string>{"B.txt", "a-b", "a.b/c", "a.txt", "a/b", "\xe9.txt"}));
}

TEST(ManifestText, LauncherParserReadsBackEveryLineAsWritten)
{
    ManifestSettings settings = settings_with_version("2024-05 \"spring\" = big");
    settings.news = {"Line one", "\tindented", "", "a = b | c", "last"};
    settings.run = "Game Files/start game.exe";
    settings.deletes = {"old\\a.dat", "old/b.dat", "old/b.dat"};
    std::vector<ManifestFile> files = {
        file("Game Files/start game.exe", digest_a, 123456),
        file("data/caf\xc3\xa9 #1.pak", digest_b, 5368709120ull),
        file("config/user.cfg", digest_empty, 0, true),
        file(" lead/x=y.txt", digest_a, 18446744073709551615ull),
        file(std::string(236, 'p') + ".bin", digest_b, 7),
    };
    std::string text = write_ok(settings, files);

    UpdateList list;
    ASSERT_TRUE(parse_update_list(text.c_str(), list));
    EXPECT_EQ(list.version, settings.version);
    EXPECT_EQ(list.news, "Line one\n\tindented\n\na = b | c\nlast");
    EXPECT_EQ(list.run, settings.run);
    EXPECT_EQ(list.deletes, settings.deletes);
    std::sort(files.begin(), files.end(),
              [](const ManifestFile& a, const ManifestFile& b) { return a.path < b.path; });
    ASSERT_EQ(list.files.size(), files.size());
    for (size_t i = 0; i < files.size(); ++i) {
        EXPECT_EQ(list.files[i].path, files[i].path);
        EXPECT_EQ(list.files[i].md5, files[i].md5);
        EXPECT_EQ(list.files[i].size, files[i].size);
        EXPECT_EQ(list.files[i].keep, files[i].keep);
    }
}

TEST(ManifestText, MapLinesFollowTheirEntryAndItsHashLineAndReadBack)
{
    const std::string sha = std::string(64, 'c');
    ManifestFile big = file("big.pak", digest_a, 1048576);
    big.sha256 = std::string(64, 'b');
    big.map_sha256 = sha;
    big.map_size = 2584;
    ManifestFile small = file("small.bin", digest_b, 1);
    small.sha256 = std::string(64, 'd');
    ManifestSettings settings = settings_with_version("1");
    settings.sign = true;
    std::string text = write_ok(settings, {small, big});
    EXPECT_EQ(text,
              "Version=1\nSequence=0\n"
              "F|" + digest_a + "|1048576|big.pak\n"
              "H|" + big.sha256 + "|big.pak\n"
              "M|" + sha + "|2584|launcher.maps/" + digest_a + ".map|big.pak\n"
              "F|" + digest_b + "|1|small.bin\n"
              "H|" + small.sha256 + "|small.bin\n");
    UpdateList list;
    ASSERT_TRUE(parse_update_list(text.c_str(), list));
    ASSERT_EQ(list.files.size(), 2u);
    ASSERT_EQ(list.maps.size(), 1u);
    EXPECT_EQ(list.maps[0].path, "big.pak");
    EXPECT_EQ(list.maps[0].location, "launcher.maps/" + digest_a + ".map");
    EXPECT_EQ(list.maps[0].size, 2584u);
    EXPECT_EQ(list.maps[0].sha256, sha);
    big.map_sha256 = sha.substr(1);
    EXPECT_EQ(write_refused(settings_with_version("1"), {big}), "big.pak: the block map's SHA-256 is not 64 hex digits");
}

TEST(ManifestSettings, RefusesValuesALauncherWouldDropOrMisread)
{
    std::string reason;
    EXPECT_TRUE(check_manifest_settings(settings_with_version("1.0"), reason)) << reason;
    EXPECT_FALSE(check_manifest_settings(settings_with_version(""), reason));
    EXPECT_NE(reason.find("Version is empty"), std::string::npos);
    EXPECT_FALSE(check_manifest_settings(settings_with_version("1.0\nRun=evil.exe"), reason));
    EXPECT_NE(reason.find("0x0A"), std::string::npos);
    EXPECT_FALSE(check_manifest_settings(settings_with_version("1.0 "), reason));

    ManifestSettings news = settings_with_version("1");
    news.news = {"fine", std::string("cut\0here", 8)};
    EXPECT_FALSE(check_manifest_settings(news, reason));
    EXPECT_NE(reason.find("news line 2"), std::string::npos);
    news.news = {"trailing  "};
    EXPECT_FALSE(check_manifest_settings(news, reason));

    const char* const bad_paths[] = {"../game.exe", "c:/game.exe", "game.exe ", "bin//game.exe", "a|b"};
    for (const char* path : bad_paths) {
        ManifestSettings run = settings_with_version("1");
        run.run = path;
        EXPECT_FALSE(check_manifest_settings(run, reason)) << path;
        EXPECT_EQ(reason.compare(0, 5, "Run '"), 0) << reason;
        ManifestSettings del = settings_with_version("1");
        del.deletes = {"ok.txt", path};
        EXPECT_FALSE(check_manifest_settings(del, reason)) << path;
        EXPECT_NE(reason.find(path), std::string::npos) << reason;
    }
    EXPECT_NE(write_refused(settings_with_version(""), {}).find("Version"), std::string::npos);
}

TEST(ManifestText, RefusesADeleteOfAFileTheListAlsoCarries)
{
    ManifestSettings settings = settings_with_version("1");
    settings.deletes = {"Data\\A.TXT"};
    std::string reason = write_refused(settings, {file("data/a.txt", digest_a, 1)});
    EXPECT_NE(reason.find("data/a.txt"), std::string::npos) << reason;
    settings.deletes = {"data/a.txt.old"};
    write_ok(settings, {file("data/a.txt", digest_a, 1)});
}

TEST(ManifestText, RefusesAListLongerThanALauncherReads)
{
    std::vector<ManifestFile> files;
    size_t text_length = 0;
    for (int i = 0; text_length <= max_manifest_text_length; ++i) {
        files.push_back(file("d/" + std::to_string(i) + std::string(200, 'n'), digest_a, 1));
        text_length += files.back().path.size() + 38;  // "F|", digest, "|1|", path, LF
    }
    std::string text;
    std::string reason;
    EXPECT_FALSE(write_manifest_text(settings_with_version("1"), files, text, reason));
    EXPECT_TRUE(text.empty());
    EXPECT_NE(reason.find("at most 16777216"), std::string::npos) << reason;
    files.resize(files.size() / 2);
    EXPECT_TRUE(write_manifest_text(settings_with_version("1"), files, text, reason)) << reason;
}

TEST(ReleasePaths, ReportsEveryRefusedPathWithItsReason)
{
    std::vector<std::string> refusals;
    EXPECT_TRUE(check_release_paths({"a.txt", "data/a.txt", "sub/manifest.txt"}, refusals));
    EXPECT_TRUE(refusals.empty());

    EXPECT_FALSE(check_release_paths({"ok.txt", "name ", "a\\b.txt", "x:y", "ok2.txt"}, refusals));
    ASSERT_EQ(refusals.size(), 3u);
    EXPECT_EQ(refusals[0].compare(0, 6, "name :"), 0) << refusals[0];
    EXPECT_NE(refusals[1].find("folder separator"), std::string::npos) << refusals[1];
    EXPECT_NE(refusals[2].find("':'"), std::string::npos) << refusals[2];
}

TEST(ReleasePaths, RefusesNamesThatAreOneFileOnWindows)
{
    std::vector<std::string> refusals;
    EXPECT_FALSE(check_release_paths({"Data/a.txt", "data/A.TXT", "data/b.txt"}, refusals));
    ASSERT_EQ(refusals.size(), 1u);
    EXPECT_NE(refusals[0].find("same file as Data/a.txt"), std::string::npos) << refusals[0];

    refusals.clear();
    EXPECT_FALSE(check_release_paths({"maps/m1.map", "Maps"}, refusals));
    ASSERT_EQ(refusals.size(), 1u);
    EXPECT_NE(refusals[0].find("folder maps"), std::string::npos) << refusals[0];

    // Beyond ASCII too: Latin-1 and Latin Extended-A, Greek (final sigma included), Cyrillic,
    // Armenian and full-width letters are one file in either case.
    const std::pair<std::string, std::string> same[] = {
        {"\xc3\x89.txt", "\xc3\xa9.txt"},                       // E acute
        {"\xc3\xbf", "\xc5\xb8"},                               // y diaeresis
        {"\xc5\x81\xc3\xb3" "d\xc5\xba", "\xc5\x82\xc3\x93" "D\xc5\xb9"},  // Lodz
        {"\xce\x86\xcf\x83", "\xce\xac\xce\xa3"},                 // Greek with accent and sigma
        {"\xcf\x82", "\xce\xa3"},                               // final sigma
        {"\xd0\x98\xd0\xb3\xd1\x80\xd1\x8b/a", "\xd0\xb8\xd0\x93\xd0\xa0\xd0\xab/a"},  // a Cyrillic folder
        {"\xd1\x91", "\xd0\x81"},                               // io
        {"\xd5\xa1", "\xd4\xb1"},                               // Armenian ayb
        {"\xef\xbd\x81", "\xef\xbc\xa1"},                         // full-width a
    };
    for (const auto& pair : same) {
        refusals.clear();
        EXPECT_FALSE(check_release_paths({pair.first, pair.second}, refusals)) << pair.first;
        ASSERT_EQ(refusals.size(), 1u) << pair.first;
        EXPECT_NE(refusals[0].find("same file as " + pair.first), std::string::npos) << refusals[0];
    }
    // Different letters stay apart, whatever their bytes share.
    refusals.clear();
    EXPECT_TRUE(check_release_paths({"\xc3\xa9", "\xc3\xa8", "\xce\xb1", "\xd0\xb0", "a", "\xe6\x97\xa5", "\xe6\x97\xa6"},
                                    refusals));
    EXPECT_TRUE(refusals.empty()) << refusals[0];
}

TEST(NewsFile, BecomesOneValuePerLineAsALauncherShowsIt)
{
    std::vector<std::string> lines;
    std::string reason;
    ASSERT_TRUE(read_news_lines("\r\n\nWelcome!  \r\n\r\n\tServer move at 20:00 \nbye", lines, reason));
    EXPECT_EQ(lines, (std::vector<std::string>{"Welcome!", "", "\tServer move at 20:00", "bye"}));
    ASSERT_TRUE(read_news_lines("one\ntwo\n", lines, reason));
    EXPECT_EQ(lines, (std::vector<std::string>{"one", "two"}));
    ASSERT_TRUE(read_news_lines("", lines, reason));
    EXPECT_TRUE(lines.empty());
    EXPECT_FALSE(read_news_lines("one\ntw\ro\n", lines, reason));
    EXPECT_EQ(reason, "news line 2 contains the control byte 0x0D");
    EXPECT_FALSE(read_news_lines(std::string("a\nb\0c", 5), lines, reason));
    EXPECT_EQ(reason, "news line 2 contains the control byte 0x00");

    // UTF-8 news, with or without the byte order mark some editors write; anything else is named.
    ASSERT_TRUE(read_news_lines("\xef\xbb\xbf\xc3\x96stliche Marsch\r\n\xe6\x97\xa5\xe6\x9c\xac\n", lines, reason));
    EXPECT_EQ(lines, (std::vector<std::string>{"\xc3\x96stliche Marsch", "\xe6\x97\xa5\xe6\x9c\xac"}));
    EXPECT_FALSE(read_news_lines("one\n\n\xd6stliche\n", lines, reason));
    EXPECT_EQ(reason, "news line 3 is not valid UTF-8 (byte 1: a sequence cut short)");
    EXPECT_FALSE(read_news_lines("\xef\xbb\xbfok\n\xef\xbb", lines, reason));
    EXPECT_EQ(reason, "news line 2 is not valid UTF-8 (byte 1: a sequence cut short)");
}
