// The path rule against the paths an update server could send.
#include <gtest/gtest.h>

#include <string>

#include "update_list/safe_path.h"

TEST(SafePath, AcceptsOnlyRelativePathsThatStayInTheGameFolder)
{
    struct Case {
        std::string path;
        bool safe;
    };
    const Case cases[] = {
        {"a.txt", true},
        {"data/maps/m1.map", true},
        {"data\\maps/m1.map", true},
        {"a b/c d.txt", true},
        {"a/.../b", true},
        {"...", true},
        {" a/b. /.c", true},
        {"caf\xe9/\x7f\xff.txt", true},
        {std::string(240, 'x'), true},
        {std::string(238, 'x') + "/y", true},
        {std::string(241, 'x'), false},
        {"", false},
        {"/a.txt", false},
        {"\\a.txt", false},
        {"c:/game/a.txt", false},
        {"a:b", false},
        {"a.txt:stream", false},
        {"../a.txt", false},
        {"a/../b", false},
        {"a\\..\\..\\b", false},
        {"./a.txt", false},
        {"a/./b", false},
        {"a/..", false},
        {"a/.", false},
        {"..", false},
        {".", false},
        {"data/", false},
        {"data\\", false},
        {"data//a.txt", false},
        {"data/\\a.txt", false},
        {"a\tb", false},
        {"a\x1f", false},
        {"a\"b", false},
        {"a*b", false},
        {"a?b", false},
        {"a<b", false},
        {"a>b", false},
        {"a|b", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(is_safe_relative_path(c.path.data(), c.path.size()), c.safe) << '"' << c.path << '"';
    }
}

TEST(SafePath, ReadsOnlyTheGivenLength)
{
    // A NUL byte counts as a control byte, and bytes past the length are never looked at.
    const char with_nul[] = {'a', '\0', 'b'};
    EXPECT_FALSE(is_safe_relative_path(with_nul, sizeof with_nul));
    EXPECT_TRUE(is_safe_relative_path("ab/../c", 2));
    EXPECT_FALSE(is_safe_relative_path("ab/", 3));
}
