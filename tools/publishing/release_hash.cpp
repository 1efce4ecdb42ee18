// Hashes release files for make_manifest: large unbuffered reads straight into a few buffers, each
// block hashed with MD5 and, for a signed list, SHA-256 while it is still in the cache, so that
// the transforms, not the copying, set the pace. A large file's block map is written from the same
// buffers on a second thread, which costs a second core rather than a second read; progress goes
// to stderr.
#include "tools/publishing/release_hash.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "delta/block_map.h"
#include "digest/md5.h"
#include "digest/sha256.h"
#include "tools/publishing/worker_thread.h"

// Large reads keep the system-call count low; 1 MiB stays well inside every cache level that
// matters for a 64-byte-block hash and fits md5_update's 32-bit length.
static const size_t read_block_size = 1024 * 1024;
// One buffer being read and hashed, one being mapped, one between them: neither thread waits for
// the other as long as both keep pace.
static const size_t buffer_count = 3;
static const double report_interval_seconds = 1.0;
static const double bytes_per_megabyte = 1024.0 * 1024.0;

static unsigned char read_buffers[buffer_count][read_block_size];

// The hand-over of read buffers to the thread that writes the map. Buffers go round in order;
// a buffer handed over with no bytes ends the file.
struct MapThread {
    BlockMapWriter writer;
    Semaphore filled;              // a post per buffer handed over
    Semaphore emptied;             // a post per buffer the map is done with
    size_t lengths[buffer_count];  // bytes read into each buffer
    WorkerThread thread;
};

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

static void write_map(void* context)
{
    MapThread& map = *static_cast<MapThread*>(context);
    for (size_t at = 0;; at = (at + 1) % buffer_count) {
        wait_semaphore(map.filled);
        if (map.lengths[at] == 0) {
            return;
        }
        feed_block_map(map.writer, read_buffers[at], map.lengths[at]);
        post_semaphore(map.emptied);
    }
}

static bool start_map_thread(uint64_t size, MapThread& map, std::string& error_text)
{
    start_block_map(size, map.writer);
    map.filled.handle = nullptr;
    map.emptied.handle = nullptr;
    if (open_semaphore(0, map.filled, error_text) && open_semaphore(buffer_count, map.emptied, error_text) &&
        start_worker_thread(write_map, &map, map.thread, error_text)) {
        return true;
    }
    close_semaphore(map.filled);
    close_semaphore(map.emptied);
    return false;
}

// The buffer to read into next: with a map being written, the next in turn once the map is done
// with it.
static unsigned char* next_buffer(MapThread* map, size_t at)
{
    if (map != nullptr) {
        wait_semaphore(map->emptied);
    }
    return read_buffers[at];
}

static void hand_over(MapThread* map, size_t& at, size_t count)
{
    if (map != nullptr) {
        map->lengths[at] = count;
        post_semaphore(map->filled);
        at = (at + 1) % buffer_count;
    }
}

// Reads every block once into the digests and hands it to the map; a failed read or hash ends
// the file for the map as the end of the file does. False with the reason.
static bool hash_blocks(FILE* file, Md5Context& md5, Sha256Context* sha256, MapThread* map, HashProgress& progress,
                        uint64_t& size, std::string& error_text)
{
    size = 0;
    bool hashed = true;
    size_t at = 0;
    size_t count = 0;
    do {
        unsigned char* buffer = next_buffer(map, at);
        count = hashed ? std::fread(buffer, 1, read_block_size, file) : 0;
        hand_over(map, at, count);
        if (count != 0) {
            md5_update(md5, buffer, static_cast<uint32_t>(count));
            hashed = sha256 == nullptr || sha256_update(*sha256, buffer, count, error_text);
            size += count;
            progress.bytes_done += count;
            report_if_due(progress);
        }
    } while (count != 0);
    if (!hashed) {
        return false;
    }
    if (std::ferror(file) != 0) {
        error_text = "read error";
        return false;
    }
    return true;
}

// Waits for the map's thread and takes the map, unless the file was not read whole at the size
// the map was started for (the caller then reports the changed size).
static bool finish_map_thread(MapThread& map, bool read, uint64_t size, std::string& map_bytes,
                              std::string& error_text)
{
    join_worker_thread(map.thread);
    close_semaphore(map.filled);
    close_semaphore(map.emptied);
    if (!read || size != map.writer.file_size) {
        return true;
    }
    return finish_block_map(map.writer, map_bytes, error_text);
}

bool digest_file(const std::string& full_path, const DigestRequest& request, HashProgress& progress,
                 FileDigests& digests, std::string& error_text)
{
    FILE* file = std::fopen(full_path.c_str(), "rb");
    if (file == nullptr) {
        error_text = std::string("can't open: ") + std::strerror(errno);
        return false;
    }
    std::setvbuf(file, nullptr, _IONBF, 0);
    Sha256Context sha256 = {nullptr, nullptr};
    MapThread mapping;
    if ((request.sha256 && !sha256_begin(sha256, error_text)) ||
        (request.block_map && !start_map_thread(request.size, mapping, error_text))) {
        sha256_release(sha256);
        std::fclose(file);
        return false;
    }
    Md5Context md5;
    md5_init(md5);
    uint64_t size = 0;
    MapThread* map = request.block_map ? &mapping : nullptr;
    bool read = hash_blocks(file, md5, request.sha256 ? &sha256 : nullptr, map, progress, size, error_text);
    std::fclose(file);
    std::string map_bytes;
    read = (map == nullptr || finish_map_thread(mapping, read, size, map_bytes, error_text)) && read;
    std::string sha256_text;
    bool hashed = read && (!request.sha256 || sha256_final(sha256, sha256_text, error_text));
    sha256_release(sha256);
    if (!hashed) {
        return false;
    }
    digests.md5 = md5_final(md5);
    digests.sha256 = sha256_text;
    digests.size = size;
    digests.block_map.swap(map_bytes);
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
