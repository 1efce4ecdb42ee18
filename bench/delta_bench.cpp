// The block search against a plain read and MD5 loop over the same 1 GiB file in the same run,
// and the bytes a launcher would fetch (its map and the planned ranges) for that file unchanged,
// with 1% of it changed in 100 places, and with 4 KiB put in at its start; then the search of
// weak sums that collide against the search of the unchanged file: an old archive of 1 GiB mostly
// zero padding whose new release fills the padding with new bytes, one block of blanks among
// them, and a map whose 2^18 weak sums all are the zero block's against 1 GiB of zeros. The files
// are made in FOLDER and deleted again.
// Usage: delta_bench FOLDER [repetitions]
// Lines with goals: "search ... ratio R (goal >= 0.80)", one "fetch ..." line per case and one
// "collide ..." line per case of colliding sums.
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/search_cases.h"
#include "delta/block_map.h"
#include "delta/block_search.h"
#include "delta/range_plan.h"
#include "digest/md5.h"

static const uint64_t file_size = uint64_t(1) << 30;
static const size_t chunk_length = 1024 * 1024;
static const int default_repetitions = 3;
static const double search_goal = 0.80;
static const int changed_places = 100;
static const uint64_t changed_bytes = file_size / 100;
static const size_t inserted_bytes = 4096;
static const double collide_goal = 2.0;  // at most this many times the unchanged file's search

// CPU time of this thread, system time included: the machine is shared, and time spent waiting
// for a core says nothing about either loop.
static double cpu_seconds()
{
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

static size_t read_file(void* context, uint64_t offset, void* buffer, size_t length)
{
    ssize_t count = pread(*static_cast<int*>(context), buffer, length, static_cast<off_t>(offset));
    return count < 0 ? 0 : static_cast<size_t>(count);
}

static bool make_file(const std::string& name, CaseBytes kind)
{
    int file = open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (file < 0) {
        return false;
    }
    std::vector<unsigned char> chunk(chunk_length);
    CaseFile made = start_case_file(kind, file_size);
    bool written = true;
    for (uint64_t done = 0; done < file_size && written; done += chunk_length) {
        fill_case_piece(made, chunk);
        written = write(file, chunk.data(), chunk.size()) == static_cast<ssize_t>(chunk.size());
    }
    return close(file) == 0 && written;
}

// The new file of a case: the old file's bytes with some ranges overwritten, after a prefix.
struct NewFile {
    std::string prefix;
    std::vector<uint64_t> changed_at;  // offsets in the old file, each changed for change_length bytes
    uint64_t change_length;
};

static double read_and_md5(int file, std::string& digest)
{
    std::vector<unsigned char> chunk(chunk_length);
    double start = cpu_seconds();
    Md5Context md5;
    md5_init(md5);
    for (uint64_t done = 0; done < file_size; done += chunk_length) {
        size_t count = read_file(&file, done, chunk.data(), chunk.size());
        md5_update(md5, chunk.data(), static_cast<uint32_t>(count));
    }
    digest = md5_final(md5);
    return cpu_seconds() - start;
}

static bool map_new_file(int file, const NewFile& change, BlockMap& map)
{
    BlockMapWriter writer;
    start_block_map(change.prefix.size() + file_size, writer);
    feed_block_map(writer, change.prefix.data(), change.prefix.size());
    std::vector<unsigned char> chunk(chunk_length);
    uint64_t state = 1234567;
    std::vector<unsigned char> noise(change.change_length);
    fill_random(noise, state);
    for (uint64_t done = 0; done < file_size; done += chunk_length) {
        read_file(&file, done, chunk.data(), chunk.size());
        for (uint64_t at : change.changed_at) {
            uint64_t from = std::max(at, done);
            uint64_t to = std::min(at + change.change_length, done + chunk_length);
            for (uint64_t byte = from; byte < to; ++byte) {
                chunk[byte - done] = noise[byte - at];
            }
        }
        feed_block_map(writer, chunk.data(), chunk.size());
    }
    std::string bytes;
    std::string reason;
    return finish_block_map(writer, bytes, reason) &&
           read_block_map(bytes.data(), bytes.size(), writer.file_size, map, reason);
}

static bool search_file(int file, const BlockMap& map, std::vector<BlockOrigin>& origins, double& seconds,
                        SearchStats* stats = nullptr)
{
    std::vector<DeltaSource> sources = {DeltaSource{read_file, &file, file_size}};
    std::string reason;
    double start = cpu_seconds();
    bool found = search_blocks(map, sources, nullptr, origins, reason, stats);
    seconds = cpu_seconds() - start;
    if (!found) {
        std::printf("search failed: %s\n", reason.c_str());
    }
    return found;
}

static bool report_fetch(int file, const char* name, const NewFile& change, double goal_percent,
                         size_t goal_ranges)
{
    BlockMap map;
    std::vector<BlockOrigin> origins;
    double seconds = 0;
    if (!map_new_file(file, change, map) || !search_file(file, map, origins, seconds)) {
        return false;
    }
    std::vector<ByteRange> ranges;
    plan_missing_ranges(map, origins, default_max_range_length, ranges);
    uint64_t fetched = max_block_map_size(map.file_size);
    for (const ByteRange& range : ranges) {
        fetched += range.length;
    }
    double percent = 100.0 * static_cast<double>(fetched) / static_cast<double>(map.file_size);
    bool met = percent <= goal_percent && ranges.size() <= goal_ranges;
    std::printf("fetch %-22s map %.2f MB + %zu ranges %.2f MB = %.3f%% of the file (goal <= %.1f%%%s), "
                "searched in %.2f s\n",
                name, static_cast<double>(max_block_map_size(map.file_size)) / 1e6, ranges.size(),
                static_cast<double>(fetched - max_block_map_size(map.file_size)) / 1e6, percent, goal_percent,
                goal_ranges == 0 ? ", 0 ranges" : "", seconds);
    return met;
}

// The padded archive's new release, mapped as make_manifest maps it.
static bool map_release(BlockMap& map)
{
    BlockMapWriter writer;
    start_block_map(file_size, writer);
    std::vector<unsigned char> chunk(chunk_length);
    CaseFile release = start_case_file(CaseBytes::padded_release, file_size);
    for (uint64_t done = 0; done < file_size; done += chunk_length) {
        fill_case_piece(release, chunk);
        feed_block_map(writer, chunk.data(), chunk.size());
    }
    std::string bytes;
    std::string reason;
    return finish_block_map(writer, bytes, reason) && read_block_map(bytes.data(), bytes.size(), file_size, map, reason);
}

// Searches a case of colliding sums in the old file `kind` made in `folder`, best of
// `repetitions`, against the unchanged file's best search time; `expected` blocks must be found.
static bool report_collision(const std::string& folder, const char* name, CaseBytes kind, const BlockMap& map,
                             uint32_t expected, int repetitions, double unchanged_seconds)
{
    std::string path = folder + "/delta-bench-collide.bin";
    int file = make_file(path, kind) ? open(path.c_str(), O_RDONLY) : -1;
    bool met = file >= 0;
    std::string digest;
    double best = 1e30;
    std::vector<BlockOrigin> origins;
    SearchStats stats = {};
    if (met) {
        read_and_md5(file, digest);
    }
    for (int i = 0; i < repetitions && met; ++i) {
        double seconds = 0;
        met = search_file(file, map, origins, seconds, &stats);
        best = std::min(best, seconds);
    }
    if (file >= 0) {
        close(file);
    }
    unlink(path.c_str());
    if (!met) {
        return false;
    }
    uint32_t found = 0;
    for (const BlockOrigin& origin : origins) {
        found += origin.source != block_not_found ? 1 : 0;
    }
    double ratio = best / unchanged_seconds;
    std::printf("collide %-30s %.2f s, %.2fx the unchanged file's search (goal <= %.1fx), %u of %u blocks found "
                "(goal %u); %.0f MB read, %llu MD5s of %.0f MB, %llu lookups, %.0f MB passed unlooked\n",
                name, best, ratio, collide_goal, found, unsigned(origins.size()), expected,
                static_cast<double>(stats.bytes_read) / 1e6, static_cast<unsigned long long>(stats.strong_checks),
                static_cast<double>(stats.bytes_strong_summed) / 1e6, static_cast<unsigned long long>(stats.lookups),
                static_cast<double>(stats.bytes_unlooked) / 1e6);
    return ratio <= collide_goal && found == expected;
}

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: delta_bench FOLDER [repetitions]\n");
        return 2;
    }
    int repetitions = argc > 2 ? std::max(1, std::atoi(argv[2])) : default_repetitions;
    std::string name = std::string(argv[1]) + "/delta-bench-old.bin";
    if (!make_file(name, CaseBytes::random)) {
        std::fprintf(stderr, "can't write %s\n", name.c_str());
        unlink(name.c_str());
        return 1;
    }
    int file = open(name.c_str(), O_RDONLY);
    bool met = file >= 0;
    std::string digest;
    read_and_md5(file, digest);  // into the page cache: both loops then read memory, not the disk

    BlockMap map;
    met = met && map_new_file(file, NewFile{"", {}, 0}, map);
    double best_loop = 1e30;
    double best_search = 1e30;
    std::vector<BlockOrigin> origins;
    for (int i = 0; i < repetitions && met; ++i) {
        double search_seconds = 0;
        best_loop = std::min(best_loop, read_and_md5(file, digest));
        met = search_file(file, map, origins, search_seconds);
        best_search = std::min(best_search, search_seconds);
    }
    if (met) {
        double megabytes = static_cast<double>(file_size) / (1024.0 * 1024.0);
        double ratio = best_loop / best_search;
        std::printf("best of %d on 1 GiB: read + MD5 loop %.0f MB/s, search of the unchanged file %.0f MB/s\n",
                    repetitions, megabytes / best_loop, megabytes / best_search);
        std::printf("search / read + MD5 ratio %.3f (goal >= %.2f)\n", ratio, search_goal);
        met = ratio >= search_goal;

        NewFile changed = {"", {}, changed_bytes / changed_places};
        uint64_t state = 99;
        uint64_t stretch = file_size / changed_places;
        for (int place = 0; place < changed_places; ++place) {
            changed.changed_at.push_back(place * stretch + next_random(state) % (stretch - changed.change_length));
        }
        std::vector<unsigned char> inserted(inserted_bytes);
        fill_random(inserted, state);
        met = report_fetch(file, "unchanged", NewFile{"", {}, 0}, 0.5, 0) && met;
        met = report_fetch(file, "1% in 100 places", changed, 3.0, SIZE_MAX) && met;
        met = report_fetch(file, "4 KiB in at the start", NewFile{std::string(inserted.begin(), inserted.end()), {}, 0},
                           0.5, SIZE_MAX) && met;
    }
    if (file >= 0) {
        close(file);
    }
    unlink(name.c_str());
    BlockMap release;
    if (met && map_release(release)) {
        uint32_t head_and_tail = padded_blocks_kept(file_size, release.block_size);
        met = report_collision(argv[1], "padding refilled, blanks among", CaseBytes::padded_old, release, head_and_tail,
                               repetitions, best_search);
        met = report_collision(argv[1], "weak sums all the zero block's", CaseBytes::zeros, hostile_map(file_size), 0,
                               repetitions, best_search) && met;
    } else {
        met = false;
    }
    return met ? 0 : 1;
}
