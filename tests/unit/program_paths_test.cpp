// The launcher's folder split, the placing of list names in the game folder and the server address form.
#include "shell/program_paths.h"
#include "shell/settings_file.h"
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

TEST(SettingsFile, GivesTheSameValuesFromEveryEncodingAnEditorSaves)
{
    const std::string utf8 = "; saved by the installer\r\n[Other]\r\nUrl=http://wrong/\r\n"
                             " [ launcher ] \r\n  url = http://127.0.0.1/\xd0\xb8/ \r\nTitle=\"\xc3\x96stliche \xf0\x9f\x98\x80\"\r\n"
                             "Url=http://second/\r\nConnections\r\nPublicKey=\r\n";
    const std::u16string text16 = u"; saved by the installer\r\n[Other]\r\nUrl=http://wrong/\r\n"
                                  u" [ launcher ] \r\n  url = http://127.0.0.1/\u0438/ \r\nTitle=\"\u00d6stliche \U0001F600\"\r\n"
                                  u"Url=http://second/\r\nConnections\r\nPublicKey=\r\n";
    std::string utf16 = "\xff\xfe";
    for (char16_t unit : text16) {
        utf16 += static_cast<char>(unit & 0xFF);
        utf16 += static_cast<char>(unit >> 8);
    }
    for (const std::string& bytes : {utf8, "\xef\xbb\xbf" + utf8, utf16}) {
        std::string text = settings_text(bytes);
        EXPECT_EQ(setting_value(text, "Launcher", "Url"), "http://127.0.0.1/\xd0\xb8/");
        EXPECT_EQ(setting_value(text, "Launcher", "Title"), "\xc3\x96stliche \xf0\x9f\x98\x80");
        EXPECT_EQ(setting_value(text, "Launcher", "Connections"), "");
        EXPECT_EQ(setting_value(text, "Launcher", "PublicKey"), "");
        EXPECT_EQ(setting_value(text, "Launcher", "MinSequence"), "");
    }
    // Without a section header nothing belongs to [Launcher].
    EXPECT_EQ(setting_value(settings_text("Url=http://x/\n"), "Launcher", "Url"), "");
}
