// The launcher's folder split, the placing of list names in the game folder and the server address form.
#include "shell/program_paths.h"
#include "update_list/local_path.h"

#include <gtest/gtest.h>

#include <utility>

TEST(ProgramPath, SplitsAfterTheLastBackslash)
{
    std::string dir = "stale";
    std::string file = "stale";
    split_program_path("D:\\Games\\Tavrin\\launcher.exe", dir, file);
    EXPECT_EQ("D:\\Games\\Tavrin\\", dir);
    EXPECT_EQ("launcher.exe", file);

    split_program_path("C:\\launcher.exe", dir, file);
    EXPECT_EQ("C:\\", dir);
    EXPECT_EQ("launcher.exe", file);
}

TEST(ProgramPath, WithoutBackslashTheWholePathIsTheFile)
{
    std::string dir = "stale";
    std::string file;
    split_program_path("launcher.exe", dir, file);
    EXPECT_EQ("", dir);
    EXPECT_EQ("launcher.exe", file);

    // Forward slashes are not separators of the module path.
    split_program_path("D:/Games/launcher.exe", dir, file);
    EXPECT_EQ("", dir);
    EXPECT_EQ("D:/Games/launcher.exe", file);
}

TEST(ProgramPath, TrailingBackslashGivesAnEmptyFile)
{
    std::string dir;
    std::string file = "stale";
    split_program_path("D:\\Games\\", dir, file);
    EXPECT_EQ("D:\\Games\\", dir);
    EXPECT_EQ("", file);
}

TEST(LocalPath, ListNamesLandInTheFolderWithBackslashes)
{
    EXPECT_EQ("D:\\Games\\data\\maps\\a.bin", join_local_path("D:\\Games\\", "data/maps/a.bin"));
    EXPECT_EQ("D:\\Games\\data\\maps\\a.bin", join_local_path("D:\\Games\\", "data\\maps\\a.bin"));
    EXPECT_EQ("D:\\Games\\main.exe", join_local_path("D:\\Games\\", "main.exe"));
}

TEST(LocalPath, NothingButSlashesIsChanged)
{
    // No case folding and no resolving of dot segments: names arrive already checked.
    EXPECT_EQ("D:\\Games\\Data\\.\\X.BIN", join_local_path("D:\\Games\\", "Data/./X.BIN"));
    EXPECT_EQ("\\a\\b", join_local_path("", "/a/b"));
}

TEST(BaseUrl, NonEmptyAddressEndsInSlash)
{
    EXPECT_EQ("http://127.0.0.1:8080/updates/",
              base_url_from_setting("http://127.0.0.1:8080/updates"));
    EXPECT_EQ("http://127.0.0.1:8080/updates/",
              base_url_from_setting("http://127.0.0.1:8080/updates/"));
    EXPECT_EQ("x/", base_url_from_setting("x"));
    EXPECT_EQ("/", base_url_from_setting("/"));
}

TEST(BaseUrl, EmptyAddressStaysEmpty)
{
    EXPECT_EQ("", base_url_from_setting(""));
}

TEST(Connections, MissingOrGarbageGivesFourAndNumbersTheNearestAllowed)
{
    for (const char* setting : {"", "fast", "4x", "x4", "-", " 3", "3 ", "+3", "0x8"})
        EXPECT_EQ(connections_from_setting(setting), 4) << setting;
    const std::pair<const char*, int> numbers[] = {{"1", 1}, {"8", 8}, {"0", 1},  {"000", 1}, {"-2", 1},
                                                   {"9", 8}, {"09", 8}, {"004", 4}, {"99999999999999999999", 8}};
    for (const auto& number : numbers)
        EXPECT_EQ(connections_from_setting(number.first), number.second) << number.first;
}
