// The size text: unit boundaries, rounding of exact ties, and the largest counts.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "transfer/size_text.h"

TEST(FormatSize, GivesTheSameTextOnEveryRuntime)
{
    struct Case {
        uint64_t bytes;
        const char* text;
    };
    const Case cases[] = {
        {0, "0 KB"},
        {511, "0 KB"},
        {512, "0 KB"},  // 0.5 exactly: ties go to the even neighbour
        {513, "1 KB"},
        {1536, "2 KB"},
        {2560, "2 KB"},
        {3584, "4 KB"},
        {1048064, "1024 KB"},  // 1023.5
        {1048575, "1024 KB"},
        {1048576, "1.0 MB"},
        {1048576 + 52428, "1.0 MB"},
        {1048576 + 52429, "1.1 MB"},
        {1048576 * 5 / 4, "1.2 MB"},      // 1.25 exactly
        {1048576 * 7 / 4, "1.8 MB"},      // 1.75 exactly
        {5368709120ULL, "5120.0 MB"},
        {(1ULL << 53) + 1, "8589934592.0 MB"},
        {1ULL << 63, "8796093022208.0 MB"},
        {UINT64_MAX, "17592186044416.0 MB"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(format_size(c.bytes), c.text) << c.bytes;
    }
}

#ifndef _WIN32
static std::string glibc_size_text(uint64_t bytes)
{
    char text[64];
    if (bytes <= 1048575) {
        snprintf(text, sizeof text, "%.0f KB", bytes / 1024.0);
    } else {
        snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1048576.0);
    }
    return text;
}

// On glibc the printf formats themselves are the reference: every KB count, every quarter MB
// (where the ties lie) up to 10 GiB, and pseudo-random counts of every magnitude.
TEST(FormatSize, MatchesGlibcPrintf)
{
    for (uint64_t bytes = 0; bytes <= 1048576; ++bytes) {
        ASSERT_EQ(format_size(bytes), glibc_size_text(bytes)) << bytes;
    }
    for (uint64_t bytes = 1048576; bytes <= (10ULL << 30); bytes += 1 << 18) {
        ASSERT_EQ(format_size(bytes), glibc_size_text(bytes)) << bytes;
    }
    uint64_t state = 1;
    for (int i = 0; i < 100000; ++i) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        uint64_t bytes = state >> (i % 44);
        ASSERT_EQ(format_size(bytes), glibc_size_text(bytes)) << bytes;
    }
}
#endif
