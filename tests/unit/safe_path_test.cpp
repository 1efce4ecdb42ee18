// The path rule against the paths an update server could send.
#include <gtest/gtest.h>

#include <string>

#include "update_list/safe_path.h"
#include "update_list/utf8_text.h"

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
        {"caf\xc3\xa9/\x7f.txt", true},
        {"\xe6\x97\xa5\xe6\x9c\xac/\xce\x95\xce\xbb.txt", true},
        {"caf\xe9/\x7f\xff.txt", false},
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

TEST(SafePath, RefusesEveryPathThatIsNotWellFormedUtf8)
{
    // Each of these would reach Windows as replacement characters, so two of them could name one file.
    const std::string refused[] = {
        "\xc3",                // a sequence cut short at the end
        "\xe6\x97/a",          // ... and before a separator
        "\x80" "a",             // a continuation byte without a lead
        "\xc0\xaf",            // the overlong form of "/"
        "\xe0\x80\xae\xe0\x80\xae/a",  // overlong dots
        "\xf0\x82\x82\xac",    // an overlong euro sign
        "\xed\xa0\x80",        // a surrogate
        "\xed\xbf\xbf",
        "\xf4\x90\x80\x80",    // above U+10FFFF
        "\xf8\x88\x80\x80\x80", // five-byte forms were never UTF-8
        "\xfe",
    };
    for (const std::string& path : refused) {
        EXPECT_FALSE(is_safe_relative_path(path.data(), path.size())) << path;
        std::string reason;
        EXPECT_FALSE(check_utf8(path.data(), path.size(), reason));
        EXPECT_FALSE(reason.empty());
    }
    const std::string accepted[] = {"\xc2\x80", "\xdf\xbf", "\xe0\xa0\x80", "\xed\x9f\xbf", "\xee\x80\x80",
                                    "\xef\xbf\xbf", "\xf0\x90\x80\x80", "\xf4\x8f\xbf\xbf"};
    for (const std::string& path : accepted)
        EXPECT_TRUE(is_safe_relative_path(path.data(), path.size())) << path;
}

TEST(Utf8Text, CutsOnlyBetweenCharactersAndReadsUtf16)
{
    const std::string text = "a\xc3\xa9\xe6\x97\xa5\xf0\x9f\x98\x80z";
    const size_t sizes[] = {0, 1, 3, 6, 10, 11, 11};
    for (size_t characters = 0; characters < 7; ++characters)
        EXPECT_EQ(utf8_prefix_size(text.data(), text.size(), characters), sizes[characters]) << characters;
    // A stray byte counts as one character; a cut sequence at the end is not read past its end.
    EXPECT_EQ(utf8_prefix_size("\xff\xc3\xa9", 3, 1), 1u);
    EXPECT_EQ(utf8_prefix_size("a\xe6\x97", 3, 2), 2u);

    const char utf16[] = {'A', 0, '\xe9', 0, '\xe5', '\x65', '\x3d', '\xd8', '\x00', '\xde', '\x00', '\xd8', 'x', 0, 'y'};
    EXPECT_EQ(utf8_from_utf16le(utf16, sizeof utf16), "A\xc3\xa9\xe6\x97\xa5\xf0\x9f\x98\x80\xef\xbf\xbdx");
}
