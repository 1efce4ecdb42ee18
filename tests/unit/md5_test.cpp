// The MD5 digest against the RFC 1321 test suite and known answers at the padding boundaries.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "digest/md5.h"

static std::string md5_in_pieces(const std::string& message, size_t piece)
{
    Md5Context ctx;
    md5_init(ctx);
    for (size_t at = 0; at < message.size(); at += piece) {
        size_t length = message.size() - at < piece ? message.size() - at : piece;
        md5_update(ctx, message.data() + at, static_cast<uint32_t>(length));
    }
    return md5_final(ctx);
}

static std::string md5_of(const std::string& message)
{
    return md5_in_pieces(message, message.empty() ? 1 : message.size());
}

TEST(Md5, MatchesTheRfc1321TestSuite)
{
    EXPECT_EQ(md5_of(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(md5_of("a"), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(md5_of("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(md5_of("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(md5_of("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
    EXPECT_EQ(md5_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "d174ab98d277d9f5a5611c2c9f419d9f");
    EXPECT_EQ(md5_of("1234567890123456789012345678901234567890123456789012345678901234567890"
                     "1234567890"),
              "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(Md5, LastBlockBoundariesNeedingOneOrTwoPaddingBlocks)
{
    struct Case {
        size_t length;
        const char* digest;
    };
    const Case cases[] = {
        {55, "ef1772b6dff9a122358552954ad0df65"},
        {56, "3b0c8ac703f828b04c6c197006d17218"},
        {63, "b06521f39153d618550606be297466d5"},
        {64, "014842d480b571495a4a0363793f7367"},
        {65, "c743a45e0d2e6a95cb859adae0248435"},
        {119, "8a7bd0732ed6a28ce75f6dabc90e1613"},
        {120, "5f61c0ccad4cac44c75ff505e1f1e537"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(md5_of(std::string(c.length, 'a')), c.digest) << c.length;
    }
}

TEST(Md5, PieceSizesDoNotChangeTheDigest)
{
    std::string message(1000000, 'a');
    for (size_t piece : {size_t(1), size_t(63), size_t(64), size_t(65), size_t(65536), message.size()}) {
        EXPECT_EQ(md5_in_pieces(message, piece), "7707d6ae4e027c70eea2a935c2296f21") << piece;
    }
}

TEST(Md5, EmptyUpdatesChangeNothing)
{
    Md5Context ctx;
    md5_init(ctx);
    md5_update(ctx, "ab", 2);
    md5_update(ctx, nullptr, 0);
    md5_update(ctx, "c", 1);
    EXPECT_EQ(ctx.count_lo, 3u);
    EXPECT_EQ(md5_final(ctx), "900150983cd24fb0d6963f7d28e17f72");
}

TEST(Md5, ByteCountCarriesIntoTheHighWord)
{
    // Feeding 4 GiB would take too long here; a count just below 2^32 shows the carry.
    Md5Context ctx;
    md5_init(ctx);
    ctx.count_lo = 0xfffffffeu;
    md5_update(ctx, "abc", 3);
    EXPECT_EQ(ctx.count_lo, 1u);
    EXPECT_EQ(ctx.count_hi, 1u);
    EXPECT_EQ(ctx.fill, 3u);
}
