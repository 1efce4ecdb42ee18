// The texts of a transfer: percent-encoded list paths in download URLs, the Content-Range that a
// partial answer must carry before its bytes are spliced into a file, and the reasons of a file
// that could not be written or placed.
#include <gtest/gtest.h>

#include <string>

#include "transfer/content_range.h"
#include "transfer/move_failure.h"
#include "transfer/url.h"

TEST(PercentEncode, PassesUnreservedBytesAndEncodesEveryOther)
{
    EXPECT_EQ(percent_encode("AZaz09-._~/"), "AZaz09-._~/");
    EXPECT_EQ(percent_encode("data/my map.bin"), "data/my%20map.bin");
    EXPECT_EQ(percent_encode("data\\a"), "data%5Ca");
    EXPECT_EQ(percent_encode("\xc3\xbc"), "%C3%BC");
    EXPECT_EQ(percent_encode("%?#+&=:"), "%25%3F%23%2B%26%3D%3A");
    EXPECT_EQ(percent_encode(std::string("\x00\x7f\xff", 3)), "%00%7F%FF");
    EXPECT_EQ(percent_encode(""), "");
}

// A file at its path is asked for with its digest; one in an object under the object's name alone.
TEST(ServerAddresses, ListUrlIsNewOnEveryStampAndFileUrlCarriesTheDigestOrNamesTheObject)
{
    EXPECT_EQ(list_url("http://h/g/", 4294967295u), "http://h/g/manifest.txt?t=4294967295");
    ListedFile file = {"data/my map#1.bin", "0cc175b9c0f1b6a831c399e269772661", 5, ""};
    EXPECT_EQ(file_url("https://h/", file), "https://h/data/my%20map%231.bin?v=0cc175b9c0f1b6a831c399e269772661");
    file.object = "launcher objects/0cc175b9c0f1b6a831c399e269772661-5";
    EXPECT_EQ(file_url("https://h/", file), "https://h/launcher%20objects/0cc175b9c0f1b6a831c399e269772661-5");
}

TEST(ContentRange, TakesOnlyThreeKnownNumbersInOrder)
{
    ContentRange range = {1, 2, 3};
    ASSERT_TRUE(parse_content_range("bytes 0-0/1", range));
    EXPECT_EQ(range.first, 0u);
    EXPECT_EQ(range.last, 0u);
    EXPECT_EQ(range.total, 1u);
    ASSERT_TRUE(parse_content_range("bytes 4294967296-6442450943/6442450944", range));
    EXPECT_EQ(range.first, 4294967296u);
    EXPECT_EQ(range.total, 6442450944u);
    for (const char* refused : {"bytes 0-9/*", "bytes */10", "bytes 5-4/10", "bytes 0-10/10", "bytes 0-9/10 ",
                                "bytes=0-9/10", "bytes -9/10", "bytes 0-/10", "bytes 0-9/", "Bytes 0-9/10",
                                "bytes 0-9/18446744073709551616", ""}) {
        range = {7, 8, 9};
        EXPECT_FALSE(parse_content_range(refused, range)) << refused;
        EXPECT_EQ(range.total, 9u) << refused;
    }
}

// Only a file held open is "in use", the one reason that skips the retries; a running program is
// denied like a forbidden file, and only the probe tells them apart.
TEST(MoveFailure, TellsAFolderAHeldFileAndAForbiddenPlaceApart)
{
    const std::string in_use = "the file is in use - close the game first";
    EXPECT_EQ(move_failure_text(error_access_denied, true, 0), "a folder has the file's name - remove or rename it");
    EXPECT_EQ(move_failure_text(error_sharing_violation, false, 0), in_use);
    EXPECT_EQ(move_failure_text(error_lock_violation, false, 0), in_use);
    EXPECT_EQ(move_failure_text(error_access_denied, false, error_sharing_violation), in_use);
    EXPECT_EQ(move_failure_text(error_access_denied, false, error_access_denied), "no permission to replace the file");
    EXPECT_EQ(move_failure_text(error_access_denied, false, 0), "no permission to write in the game folder");
    EXPECT_EQ(move_failure_text(112, false, 0), "can't replace the file (error 112)");
    EXPECT_EQ(part_failure_text(error_access_denied, "C:\\g\\a.bin.part"), "no permission to write in the game folder");
    EXPECT_EQ(part_failure_text(3, "C:\\g\\a.bin.part"), "can't write C:\\g\\a.bin.part");
    for (unsigned long error : {error_access_denied, 112ul, 2ul})
        EXPECT_EQ(move_failure_text(error, false, error_access_denied).find("in use"), std::string::npos);
}
