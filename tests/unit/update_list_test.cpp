// The update list parser: which lists are usable, how each line kind is read, and which lines
// are dropped without disturbing the rest.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "update_list/update_list.h"

static const std::string digest = "0123456789abcdef0123456789abcdef";

TEST(UpdateList, UsableOnlyWithAVersionOrAnAcceptedEntry)
{
    UpdateList list;
    EXPECT_FALSE(parse_update_list("", list));
    EXPECT_FALSE(parse_update_list("\n  \r\n# Version=1\n\r\n", list));
    EXPECT_FALSE(parse_update_list("<html><body>Not Found</body></html>\n", list));
    EXPECT_FALSE(parse_update_list("News=hello\nRun=game.exe\nversion=1\nVersion =1\n", list));
    EXPECT_EQ(list.news, "hello");
    EXPECT_EQ(list.run, "game.exe");

    EXPECT_TRUE(parse_update_list("Version=", list));
    EXPECT_TRUE(list.files.empty());
    EXPECT_TRUE(parse_update_list(("F|" + digest + "|1|a.txt").c_str(), list));
    EXPECT_TRUE(parse_update_list("Version=3\nF|short|1|a.txt\nnonsense\n", list));
    EXPECT_EQ(list.version, "3");
}

TEST(UpdateList, ReadsEntryLines)
{
    std::string text = "F|" + digest + "|1234|data/a.bin\n"
                       "K|" + digest.substr(0, 16) + "ABCDEF0123456789|7|cfg\\user.ini  \r\n"
                       "F|" + digest + "|1|data/a.bin";
    UpdateList list;
    ASSERT_TRUE(parse_update_list(text.c_str(), list));
    ASSERT_EQ(list.files.size(), 3u);
    EXPECT_EQ(list.files[0].path, "data/a.bin");
    EXPECT_EQ(list.files[0].md5, digest);
    EXPECT_EQ(list.files[0].size, 1234u);
    EXPECT_FALSE(list.files[0].keep);
    EXPECT_EQ(list.files[1].path, "cfg\\user.ini");
    EXPECT_EQ(list.files[1].md5, "0123456789abcdefABCDEF0123456789");
    EXPECT_TRUE(list.files[1].keep);
    EXPECT_EQ(list.files[2].path, "data/a.bin");
}

TEST(UpdateList, DropsBadEntryLinesAlone)
{
    std::string text = "F|" + digest.substr(1) + "|1|short.txt\n"
                       "F|" + digest + "0|1|long.txt\n"
                       "F|" + digest + "|one-separator.txt\n"
                       "F|" + digest + "|1|../escape.txt\n"
                       "F|" + digest + "|1|a|b.txt\n"
                       "K|" + digest + "\n"
                       "F|=x\n"
                       "F\n"
                       "K\n"
                       "F|" + digest + "|2|good.txt\n";
    UpdateList list;
    ASSERT_TRUE(parse_update_list(text.c_str(), list));
    ASSERT_EQ(list.files.size(), 1u);
    EXPECT_EQ(list.files[0].path, "good.txt");
    EXPECT_TRUE(list.version.empty());
}

// Entries and deletions never reach the launcher's own files or a device, named in any letter
// case and with the trailing dots and blanks Windows drops; the same names in a folder, or with
// more to them, are game files.
TEST(UpdateList, NeverNamesTheLaunchersOwnFilesOrADevice)
{
    std::string text = "Version=1\n";
    for (const char* refused : {"launcher.ini", "LAUNCHER.INI.", "Launcher.Cache", "launcher.cache. .",
                                "launcher.release", "launcher.cache.tmp", "LAUNCHER.RELEASE.TMP", "Launcher.Switch",
                                "launcher.installed.", "launcher.switch.tmp", "launcher.installed.tmp", "Launcher.Keys.",
                                "launcher.keys.tmp", "con",
                                "data/NUL.txt", "Com1.dat", "lpt9", "aux .bin", "prn./x"}) {
        text += "F|" + digest + "|1|" + refused + "\nK|" + digest + "|1|" + refused + "\nDelete=" + refused + "\n";
    }
    for (const char* game_file : {"data/launcher.ini", "launcher.ini.bak", "launcher.exe", "console.txt",
                                  "com10", "lpt0.dat", "nul_/a"}) {
        text += "F|" + digest + "|1|" + game_file + "\nDelete=" + game_file + "\n";
    }
    UpdateList list;
    ASSERT_TRUE(parse_update_list(text.c_str(), list));
    std::vector<std::string> files;
    for (const UpdateEntry& entry : list.files) {
        files.push_back(entry.path);
    }
    const std::vector<std::string> game_files = {"data/launcher.ini", "launcher.ini.bak", "launcher.exe",
                                                 "console.txt", "com10", "lpt0.dat", "nul_/a"};
    EXPECT_EQ(files, game_files);
    EXPECT_EQ(list.deletes, game_files);
}

TEST(UpdateList, ReadsExactMapLinesAndDropsTheRestAlone)
{
    std::string sha = std::string(64, 'a');
    std::string text = "Version=1\n"
                       "M|" + sha + "|4096|launcher.maps/x.map|data/big.pak  \r\n"
                       "M|" + sha + "|4096|launcher.maps/x.map|data/a|b.pak\n"
                       "M|" + std::string(64, 'A') + "|1|m|p\n"
                       "M|" + sha.substr(1) + "|1|m|p\n"
                       "M|" + sha + "| 1|m|p\n"
                       "M|" + sha + "|18446744073709551616|m|p\n"
                       "M|" + sha + "|1|../m|p\n"
                       "M|" + sha + "|1|m\n"
                       "M|=x\n";
    UpdateList list;
    ASSERT_TRUE(parse_update_list(text.c_str(), list));
    ASSERT_EQ(list.maps.size(), 1u);
    EXPECT_EQ(list.maps[0].sha256, sha);
    EXPECT_EQ(list.maps[0].size, 4096u);
    EXPECT_EQ(list.maps[0].location, "launcher.maps/x.map");
    EXPECT_EQ(list.maps[0].path, "data/big.pak");
    // A map line never makes a list usable, nor is it ever read as a key line.
    EXPECT_FALSE(parse_update_list(("M|" + sha + "|1|m|p\nM|Version=1\n").c_str(), list));
    EXPECT_TRUE(list.version.empty());
}

// The Objects line, wherever it stands, gives every entry the object its MD5 and size name; a
// folder that fails the path rule is dropped like an unsafe Run, and the last safe one counts.
TEST(UpdateList, ObjectsLineNamesEveryEntrysObjectAndKeepsToTheServersFolder)
{
    std::string text = "Version=1\n"
                       "F|" + digest + "|7|data/a.bin\n"
                       "Objects=launcher.objects/\n"
                       "K|" + digest + "|0|b.cfg\n"
                       "M|" + std::string(64, 'a') + "|40|launcher.maps/x.map|data/a.bin\n";
    UpdateList list;
    ASSERT_TRUE(parse_update_list(text.c_str(), list));
    EXPECT_EQ(list.objects, "launcher.objects/");
    ASSERT_EQ(list.files.size(), 2u);
    EXPECT_EQ(list.files[0].object, "launcher.objects/" + digest + "-7");
    EXPECT_EQ(list.files[1].object, "launcher.objects/" + digest + "-0");
    EXPECT_EQ(list.maps[0].location, "launcher.maps/x.map");

    ASSERT_TRUE(parse_update_list(("Objects=store/v2\nF|" + digest + "|1|a\n").c_str(), list));
    EXPECT_EQ(list.files[0].object, "store/v2/" + digest + "-1");
    for (const char* refused : {"../up/", "/abs/", "c:/x/", "http://other.example/x/", "/", "", "a//b/"}) {
        std::string line = std::string("Objects=ok/\nObjects=") + refused + "\nF|" + digest + "|1|a\n";
        ASSERT_TRUE(parse_update_list(line.c_str(), list)) << refused;
        EXPECT_EQ(list.files[0].object, "ok/" + digest + "-1") << refused;
    }
    ASSERT_TRUE(parse_update_list(("Objects=../up/\nF|" + digest + "|1|a\n").c_str(), list));
    EXPECT_EQ(list.objects, "");
    EXPECT_EQ(list.files[0].object, "");
}

TEST(UpdateList, SizeFieldReadsLikeStrtoui64)
{
    struct Case {
        const char* field;
        uint64_t size;
    };
    const Case cases[] = {
        {"", 0},
        {"abc", 0},
        {"12ab", 12},
        {" \t\v\f\r 42", 42},
        {"+7", 7},
        {"-1", UINT64_MAX},
        {"-0", 0},
        {"- 1", 0},
        {"18446744073709551615", UINT64_MAX},
        {"18446744073709551616", UINT64_MAX},
        {"99999999999999999999999", UINT64_MAX},
        {"-18446744073709551616", UINT64_MAX},
        {"-18446744073709551615", 1},
        {"0009", 9},
        {"\xa0" "5", 0},
        {"\x85" "5", 0},
    };
    for (const Case& c : cases) {
        std::string text = "F|" + digest + "|" + c.field + "|a.txt";
        UpdateList list;
        ASSERT_TRUE(parse_update_list(text.c_str(), list)) << c.field;
        EXPECT_EQ(list.files.at(0).size, c.size) << '"' << c.field << '"';
    }
}

TEST(UpdateList, ReadsKeyLines)
{
    UpdateList list;
    ASSERT_TRUE(parse_update_list("Version=1.0\r\n"
                                  "Version=2=beta \r\n"
                                  "News=a\n"
                                  "News=\n"
                                  "News=b\tc  \n"
                                  "news=lost\n"
                                  "Run=game.exe\n"
                                  "Run= bin/game.exe\n"
                                  "Run=c:\\evil.exe\n"
                                  "Delete=old.dll\n"
                                  "Delete=../../boot.ini\n"
                                  "Delete=old.dll\n"
                                  "Other=x\n"
                                  "\tVersion=3\n",
                                  list));
    EXPECT_EQ(list.version, "2=beta");
    EXPECT_EQ(list.news, "a\n\nb\tc");
    EXPECT_EQ(list.run, " bin/game.exe");
    ASSERT_EQ(list.deletes.size(), 2u);
    EXPECT_EQ(list.deletes[0], "old.dll");
    EXPECT_EQ(list.deletes[1], "old.dll");

    ASSERT_FALSE(parse_update_list("News=\nNews=x\n", list));
    EXPECT_EQ(list.news, "x");
}

TEST(UpdateList, ParsingAgainStartsFromAnEmptyList)
{
    UpdateList list;
    ASSERT_TRUE(parse_update_list(("Version=1\nNews=n\nRun=r.exe\nDelete=d\nF|" + digest + "|1|f").c_str(), list));
    EXPECT_FALSE(parse_update_list("\n", list));
    EXPECT_TRUE(list.version.empty());
    EXPECT_TRUE(list.news.empty());
    EXPECT_TRUE(list.run.empty());
    EXPECT_TRUE(list.deletes.empty());
    EXPECT_TRUE(list.files.empty());
}

TEST(UpdateList, TextEndsAtTheFirstNul)
{
    const char text[] = "Version=1\nNews=before\0News=after\nF|0123456789abcdef0123456789abcdef|1|a\n";
    UpdateList list;
    ASSERT_TRUE(parse_update_list(text, list));
    EXPECT_EQ(list.news, "before");
    EXPECT_TRUE(list.files.empty());
}
