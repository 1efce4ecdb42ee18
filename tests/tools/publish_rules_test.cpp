// What make_manifest lets a studio publish: refused paths with their reasons, the launcher's
// runtime files and the keep patterns.
#include "tools/publishing/publish_rules.h"

#include <gtest/gtest.h>

#include <random>

#include "update_list/safe_path.h"

static std::string refusal(const std::string& path)
{
    std::string reason;
    EXPECT_FALSE(check_published_path(path, reason)) << "accepted: " << path;
    return reason;
}

TEST(PublishedPath, RefusesEveryPathTheLauncherDrops)
{
    const char* const dropped[] = {"/a.txt", "\\a.txt", "c:/game/a.txt", "a:b", "../a.txt", "a/../b",
                                   "./a.txt", "a/./b", "data/", "data//a.txt", "a\tb", "a\"b", "a*b",
                                   "a?b", "a<b", "a>b", "a|b"};
    for (const char* path : dropped) {
        ASSERT_FALSE(is_safe_relative_path(path, std::string(path).size())) << path;
        EXPECT_FALSE(refusal(path).empty()) << path;
    }
    EXPECT_EQ(refusal(""), "the path is empty");
    EXPECT_NE(refusal(std::string(241, 'a')).find("241 bytes"), std::string::npos);
    EXPECT_NE(refusal("a:b").find("':'"), std::string::npos);
    EXPECT_NE(refusal("a\x01z").find("0x01"), std::string::npos);
    EXPECT_NE(refusal("data//a.txt").find("empty name"), std::string::npos);
}

TEST(PublishedPath, RefusesNamesTheLauncherWouldReadOrStoreAsAnotherName)
{
    EXPECT_NE(refusal("a.txt ").find("ends in a blank"), std::string::npos);
    EXPECT_NE(refusal("maps./a.bin").find("'maps.'"), std::string::npos);
    EXPECT_NE(refusal("maps /a.bin").find("'maps '"), std::string::npos);
    EXPECT_NE(refusal("a.").find("dot"), std::string::npos);
    EXPECT_NE(refusal("sound/con.wav").find("device"), std::string::npos);
    // Named in a list, the launcher's own files would be dropped by every launcher: refused here
    // as files and as deletions alike, in any letter case.
    EXPECT_NE(refusal("LAUNCHER.Release").find("for itself"), std::string::npos);
    EXPECT_NE(refusal("launcher.cache.tmp").find("for itself"), std::string::npos);
    EXPECT_NE(refusal("launcher.SWITCH").find("for itself"), std::string::npos);
    EXPECT_NE(refusal("launcher.installed.tmp").find("for itself"), std::string::npos);
    EXPECT_NE(refusal("LPT1").find("device"), std::string::npos);
    EXPECT_NE(refusal("Aux.txt").find("device"), std::string::npos);
    // Bytes that are not UTF-8 would reach the player's disk as replacement characters.
    EXPECT_EQ(refusal("caf\xe9.txt"), "the name is not valid UTF-8 (byte 4: a sequence cut short)");
    EXPECT_EQ(refusal("d/\xc0\xae"), "the name is not valid UTF-8 (byte 3: an overlong form)");
    EXPECT_EQ(refusal("\xed\xa0\x80.txt"), "the name is not valid UTF-8 (byte 1: a surrogate)");
}

TEST(PublishedPath, AcceptsOrdinaryNames)
{
    const char* const accepted[] = {"a.txt", "data/maps/m1.map", "a b/c d.txt", ".hidden", "console.txt",
                                    "com10.txt", "lpt0", "caf\xc3\xa9.txt", " lead.txt",
                                    "\xe6\x97\xa5\xe6\x9c\xac/\xce\x95\xce\xbb\xce\xbb\xce\xac\xce\xb4\xce\xb1.txt"};
    for (const char* path : accepted) {
        std::string reason;
        EXPECT_TRUE(check_published_path(path, reason)) << path << ": " << reason;
    }
    std::string longest = std::string(120, 'a') + "/" + std::string(119, 'b');
    ASSERT_EQ(longest.size(), 240u);
    std::string reason;
    EXPECT_TRUE(check_published_path(longest, reason)) << reason;
}

// Whatever make_manifest accepts must pass the launcher's rule, or launchers drop it in silence.
TEST(PublishedPath, NeverAcceptsWhatTheLauncherRuleRefuses)
{
    const std::string alphabet = "ab./\\: *?|\"<>\x01\xe9";
    std::mt19937 random(12345);
    int accepted = 0;
    for (int round = 0; round < 50000; ++round) {
        std::string path(random() % 9, 'a');
        for (char& byte : path) {
            byte = alphabet[random() % alphabet.size()];
        }
        std::string reason;
        if (check_published_path(path, reason)) {
            ++accepted;
            ASSERT_TRUE(is_safe_relative_path(path.data(), path.size())) << path;
        } else {
            ASSERT_FALSE(reason.empty()) << path;
        }
    }
    EXPECT_GT(accepted, 100);
}

TEST(RuntimeFiles, AreTheLauncherOwnFilesInAnyLetterCase)
{
    const char* const runtime[] = {"launcher.ini", "LAUNCHER.INI", "launcher.cache", "Launcher.new.exe",
                                   "launcher.old.exe", "launcher.release", "launcher.cache.tmp",
                                   "launcher.release.tmp", "Launcher.Switch", "launcher.installed",
                                   "launcher.switch.tmp", "LAUNCHER.INSTALLED.TMP", "Launcher.Keys",
                                   "launcher.keys.tmp", "a.part", "data/maps/m1.map.part",
                                   "x.PART", "data/a.bin.part.tag"};
    for (const char* path : runtime) {
        EXPECT_TRUE(is_launcher_runtime_file(path)) << path;
    }
    const char* const game[] = {"launcher.exe", "launcher.bmp", "data/launcher.ini", "launcher.ini.bak",
                                "part", "a.party", "data.part/a.txt"};
    for (const char* path : game) {
        EXPECT_FALSE(is_launcher_runtime_file(path)) << path;
    }
}

TEST(RuntimeFiles, TheBlockMapFolderHoldsNoGameFile)
{
    for (const char* path : {"launcher.maps/0123.map", "LAUNCHER.MAPS/x.map.tmp", "Launcher.Maps/notes.txt",
                             "launcher.maps/old/a.map"}) {
        EXPECT_TRUE(is_block_map_folder_file(path)) << path;
    }
    for (const char* path : {"launcher.maps", "launcher.mapsx/a.map", "data/launcher.maps/a.map", "a.map"}) {
        EXPECT_FALSE(is_block_map_folder_file(path)) << path;
    }
    EXPECT_TRUE(is_block_map_file("Launcher.Maps/0123.MAP"));
    EXPECT_TRUE(is_block_map_file("launcher.maps/0123.map.tmp"));
    EXPECT_FALSE(is_block_map_file("launcher.maps/notes.txt"));
    EXPECT_FALSE(is_block_map_file("launcher.maps/old/a.map"));
    EXPECT_EQ(block_map_location("0cc175b9c0f1b6a831c399e269772661"),
              "launcher.maps/0cc175b9c0f1b6a831c399e269772661.map");
}

TEST(RuntimeFiles, TheUpdateListIsOnlyTheTopLevelManifest)
{
    EXPECT_TRUE(is_update_list_file("manifest.txt"));
    EXPECT_TRUE(is_update_list_file("Manifest.TXT"));
    EXPECT_FALSE(is_update_list_file("data/manifest.txt"));
    EXPECT_FALSE(is_update_list_file("manifest.txt.bak"));
}

TEST(KeepPattern, NameOnlyPatternsMatchInEveryFolder)
{
    EXPECT_TRUE(matches_keep_pattern("*.cfg", "a.cfg"));
    EXPECT_TRUE(matches_keep_pattern("*.cfg", "data/sub/options.cfg"));
    EXPECT_TRUE(matches_keep_pattern("options.ini", "config/options.ini"));
    EXPECT_TRUE(matches_keep_pattern("user?.sav", "saves/user1.sav"));
    EXPECT_TRUE(matches_keep_pattern("*", "x/y"));
    EXPECT_FALSE(matches_keep_pattern("*.cfg", "a.cfg.bak"));
    EXPECT_FALSE(matches_keep_pattern("*.cfg", "a.CFG"));
    EXPECT_FALSE(matches_keep_pattern("user?.sav", "saves/user12.sav"));
}

TEST(KeepPattern, PatternsWithAFolderMatchTheWholePath)
{
    EXPECT_TRUE(matches_keep_pattern("config/*.ini", "config/a.ini"));
    EXPECT_TRUE(matches_keep_pattern("config/*", "config/a"));
    EXPECT_TRUE(matches_keep_pattern("*/user.cfg", "profile/user.cfg"));
    EXPECT_TRUE(matches_keep_pattern("a*b*c/d", "aXbYbZc/d"));
    EXPECT_FALSE(matches_keep_pattern("config/*.ini", "config/sub/a.ini"));
    EXPECT_FALSE(matches_keep_pattern("config/*.ini", "x/config/a.ini"));
    EXPECT_FALSE(matches_keep_pattern("config/a?b", "config/a/b"));
    EXPECT_FALSE(matches_keep_pattern("config/*.ini", "config/a.ini/b"));
}
