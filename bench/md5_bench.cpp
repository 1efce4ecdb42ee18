// Throughput of the launcher's MD5 against OpenSSL's, hashing the same data in the blocks that
// the local check and the download feed it.
// Usage: md5_bench [repetitions]   last line: "md5 MB/s ours X openssl Y ratio R"
#include <openssl/evp.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <time.h>
#include <vector>

#include "digest/md5.h"

static const size_t block_bytes = 65536;
static const size_t total_bytes = size_t(256) << 20;
static const int default_repetitions = 5;

// CPU time of this thread: the machine is shared, and time spent waiting for a core says
// nothing about either implementation.
static double cpu_seconds()
{
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

static double time_ours(const std::vector<unsigned char>& block, std::string& digest)
{
    double start = cpu_seconds();
    Md5Context ctx;
    md5_init(ctx);
    for (size_t done = 0; done < total_bytes; done += block_bytes) {
        md5_update(ctx, block.data(), static_cast<uint32_t>(block_bytes));
    }
    digest = md5_final(ctx);
    return cpu_seconds() - start;
}

static double time_openssl(const std::vector<unsigned char>& block, std::string& digest)
{
    double start = cpu_seconds();
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    EVP_DigestInit_ex(ctx, EVP_md5(), nullptr);
    for (size_t done = 0; done < total_bytes; done += block_bytes) {
        EVP_DigestUpdate(ctx, block.data(), block_bytes);
    }
    unsigned char bytes[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(ctx, bytes, &length);
    EVP_MD_CTX_free(ctx);
    digest.clear();
    for (unsigned int i = 0; i < length; ++i) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", bytes[i]);
        digest += pair;
    }
    return cpu_seconds() - start;
}

int main(int argc, char** argv)
{
    int repetitions = argc > 1 ? std::atoi(argv[1]) : default_repetitions;
    if (repetitions < 1) {
        repetitions = 1;
    }
    std::vector<unsigned char> block(block_bytes);
    uint32_t seed = 12345;
    for (unsigned char& byte : block) {
        seed = seed * 1103515245u + 12345u;
        byte = static_cast<unsigned char>(seed >> 16);
    }

    // Alternating the two in every repetition spreads the machine's noise over both.
    double best_ours = 1e30;
    double best_openssl = 1e30;
    std::string ours_digest;
    std::string openssl_digest;
    for (int i = 0; i < repetitions; ++i) {
        double ours = time_ours(block, ours_digest);
        double openssl = time_openssl(block, openssl_digest);
        best_ours = ours < best_ours ? ours : best_ours;
        best_openssl = openssl < best_openssl ? openssl : best_openssl;
    }
    if (ours_digest != openssl_digest) {
        std::printf("digests differ: ours %s openssl %s\n", ours_digest.c_str(), openssl_digest.c_str());
        return 1;
    }
    double megabytes = static_cast<double>(total_bytes) / (1024.0 * 1024.0);
    double ours_rate = megabytes / best_ours;
    double openssl_rate = megabytes / best_openssl;
    std::printf("digest %s, %d repetitions of %.0f MiB in %zu-byte blocks\n", ours_digest.c_str(),
                repetitions, megabytes, block_bytes);
    std::printf("md5 MB/s ours %.1f openssl %.1f ratio %.3f\n", ours_rate, openssl_rate,
                ours_rate / openssl_rate);
    return 0;
}
