// Percent-encoding of list paths for download URLs.
#include <gtest/gtest.h>

#include <string>

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
