// The MD5 digest against OpenSSL's on random messages fed in random pieces (native builds only).
// OpenSSL's low-level MD5 calls are deprecated but are the only way to set up a byte count
// beyond 4 GiB without hashing that much; they are used for that check alone.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/md5.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "digest/md5.h"

static std::string hex_text(const unsigned char* bytes, size_t length)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < length; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0x0f];
    }
    return text;
}

static std::string openssl_md5(const std::vector<unsigned char>& message)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(message.data(), message.size(), digest, &length, EVP_md5(), nullptr);
    return hex_text(digest, length);
}

TEST(Md5AgainstOpenssl, RandomMessagesInRandomPieces)
{
    std::mt19937 random(20240611);
    std::vector<size_t> lengths = {0, 1, 55, 56, 63, 64, 65, 127, 128, 64 * 7 + 55, 64 * 9 + 56,
                                   64 * 11 + 63, 65536, 65536 * 3 + 56, 1000003};
    for (int i = 0; i < 40; ++i) {
        lengths.push_back(random() % 300000);
    }
    for (size_t length : lengths) {
        std::vector<unsigned char> message(length);
        for (unsigned char& byte : message) {
            byte = static_cast<unsigned char>(random());
        }
        for (int round = 0; round < 3; ++round) {
            // Small pieces, pieces around the block size, and large pieces, mixed in one run.
            const uint32_t limits[] = {8, 200, 150000};
            Md5Context ctx;
            md5_init(ctx);
            size_t at = 0;
            while (at < length) {
                uint32_t piece = static_cast<uint32_t>(random() % (limits[round] + 1));
                if (piece > length - at) {
                    piece = static_cast<uint32_t>(length - at);
                }
                md5_update(ctx, message.data() + at, piece);
                at += piece;
            }
            ASSERT_EQ(md5_final(ctx), openssl_md5(message)) << "length " << length << " round " << round;
        }
    }
}

TEST(Md5AgainstOpenssl, ByteCountAbove4GiBReachesTheLengthField)
{
    // Both contexts pretend that 2^32 - 2 bytes went before, with the block buffer empty.
    Md5Context ours;
    md5_init(ours);
    ours.count_lo = 0xfffffffeu;
    md5_update(ours, "abc", 3);

    MD5_CTX theirs;
    MD5_Init(&theirs);
    uint64_t bits = (uint64_t(0xfffffffeu)) * 8;
    theirs.Nl = static_cast<MD5_LONG>(bits);
    theirs.Nh = static_cast<MD5_LONG>(bits >> 32);
    MD5_Update(&theirs, "abc", 3);
    unsigned char digest[MD5_DIGEST_LENGTH];
    MD5_Final(digest, &theirs);

    EXPECT_EQ(md5_final(ours), hex_text(digest, sizeof digest));
}
