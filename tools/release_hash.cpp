// Hashes release files for make_manifest: large unbuffered reads straight into one buffer, each
// block hashed with MD5 and, for a signed list, SHA-256 while it is still in the cache, so that
// the transforms, not the copying, set the pace; progress goes to stderr.
#include "tools/release_hash.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "digest/md5.h"
#include "digest/sha256.h"

// Large reads keep the system-call count low; 1 MiB stays well inside every cache level that
// matters for a 64-byte-block hash and fits md5_update's 32-bit length.
static const size_t read_block_size = 1024 * 1024;
static const double report_interval_seconds = 1.0;
static const double bytes_per_megabyte = 1024.0 * 1024.0;

static unsigned char read_buffer[read_block_size];

static double now_seconds()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

static double megabytes(uint64_t bytes)
{
    return static_cast<double>(bytes) / bytes_per_megabyte;
}

static double rate(uint64_t bytes, double seconds)
{
    return seconds > 0 ? megabytes(bytes) / seconds : 0.0;
}

static void report_if_due(HashProgress& progress)
{
    double now = now_seconds();
    if (progress.quiet || now - progress.last_report < report_interval_seconds) {
        return;
    }
    progress.last_report = now;
    std::fprintf(stderr, "hashed %llu / %llu files, %.1f / %.1f MB, %.1f MB/s\n",
                 static_cast<unsigned long long>(progress.files_done),
                 static_cast<unsigned long long>(progress.files_total), megabytes(progress.bytes_done),
                 megabytes(progress.bytes_total), rate(progress.bytes_done, now - progress.started));
}

void start_hash_progress(uint64_t files_total, uint64_t bytes_total, bool quiet, HashProgress& progress)
{
    progress.files_done = 0;
    progress.files_total = files_total;
    progress.bytes_done = 0;
    progress.bytes_total = bytes_total;
    progress.started = now_seconds();
    progress.last_report = progress.started;
    progress.quiet = quiet;
}

// Reads every block once into both digests; false with the reason when reading or hashing fails.
static bool hash_blocks(FILE* file, Md5Context& md5, Sha256Context* sha256, HashProgress& progress,
                        uint64_t& size, std::string& error_text)
{
    size = 0;
    for (;;) {
        size_t count = std::fread(read_buffer, 1, read_block_size, file);
        if (count == 0) {
            break;
        }
        md5_update(md5, read_buffer, static_cast<uint32_t>(count));
        if (sha256 != nullptr && !sha256_update(*sha256, read_buffer, count, error_text)) {
            return false;
        }
        size += count;
        progress.bytes_done += count;
        report_if_due(progress);
    }
    if (std::ferror(file) != 0) {
        error_text = "read error";
        return false;
    }
    return true;
}

bool digest_file(const std::string& full_path, bool with_sha256, HashProgress& progress, FileDigests& digests,
                 std::string& error_text)
{
    FILE* file = std::fopen(full_path.c_str(), "rb");
    if (file == nullptr) {
        error_text = std::string("can't open: ") + std::strerror(errno);
        return false;
    }
    std::setvbuf(file, nullptr, _IONBF, 0);
    Sha256Context sha256 = {nullptr, nullptr};
    if (with_sha256 && !sha256_begin(sha256, error_text)) {
        std::fclose(file);
        return false;
    }
    Md5Context md5;
    md5_init(md5);
    uint64_t size = 0;
    bool read = hash_blocks(file, md5, with_sha256 ? &sha256 : nullptr, progress, size, error_text);
    std::fclose(file);
    std::string sha256_text;
    bool hashed = read && (!with_sha256 || sha256_final(sha256, sha256_text, error_text));
    sha256_release(sha256);
    if (!hashed) {
        return false;
    }
    digests.md5 = md5_final(md5);
    digests.sha256 = sha256_text;
    digests.size = size;
    ++progress.files_done;
    return true;
}

void finish_hash_progress(const HashProgress& progress)
{
    if (progress.quiet) {
        return;
    }
    double seconds = now_seconds() - progress.started;
    std::fprintf(stderr, "hashed %llu files, %.1f MB in %.2f s, %.1f MB/s\n",
                 static_cast<unsigned long long>(progress.files_done), megabytes(progress.bytes_done), seconds,
                 rate(progress.bytes_done, seconds));
}
