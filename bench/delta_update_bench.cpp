// Delta updates measured on the launcher's own code under wine: what a rebuild fetches, its time
// against a whole download from the same server in the same run, the block search against a plain
// read and MD5 loop and, on weak sums that collide, against itself on unchanged data, and the peak
// working set of a large rebuild.
// Driven by run_delta_bench.sh, which makes, publishes and serves the files:
//   delta_update_bench fetch DIR URL LIST OLD LOG NAME GOAL     one rebuild: what the server sent for
//                                                               it, against GOAL percent of the file
//   delta_update_bench unchanged DIR URL LIST OLD LOG          the check of an identical old copy,
//                                                               and what its rebuild fetches
//   delta_update_bench race DIR URL LIST OLD LOG N NAME KIND GOAL
//                                                               best of N rebuilds against best of N
//                                                               whole downloads; KIND "faster": at
//                                                               least GOAL times faster, "within":
//                                                               at most GOAL times as long
//   delta_update_bench profile DIR LIST OLD                    the rebuild's steps one at a time
//   delta_update_bench search LIST OLD N GOAL                  search of the unchanged file against
//                                                               read + MD5, best of N; GOAL: the
//                                                               least share of the loop's speed
//   delta_update_bench collide LIST OLD PLIST POLD ZEROS N GOAL
//                                                               search of the padded archive's
//                                                               release PLIST over its old copy
//                                                               POLD, and of a hostile map over the
//                                                               file of zeros ZEROS, each against
//                                                               that of the unchanged file, rounds
//                                                               alternating, best of N; GOAL: the
//                                                               most times its time
//   delta_update_bench memory DIR URL LIST OLD LOG GOAL        one rebuild: peak working set (MiB)
//   delta_update_bench make KIND FILE SIZE                     makes FILE of SIZE bytes of a case:
//                                                               padded-old, padded-release or zeros
// DIR is the game folder (ending in "\"), URL the address of the folder of LIST (a list of one
// file with its block map, published beside it), OLD the player's old copy, which is linked into
// DIR under the listed name before every rebuild, LOG the server's log of what it sent.
#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_measure.h"
#include "bench/search_cases.h"
#include "delta/block_index.h"
#include "delta/block_map.h"
#include "delta/block_search.h"
#include "delta/block_sums.h"
#include "digest/md5.h"
#include "engine/download_batch.h"
#include "engine/internet_session.h"
#include "game_folder/local_check.h"
#include "platform/file_at.h"
#include "rebuild/rebuild_file.h"
#include "transfer/download.h"
#include "transfer/part_file.h"
#include "update_list/hash_cache.h"
#include "update_list/local_path.h"
#include "update_list/update_list.h"

// The launcher's default Connections= setting: a rebuild spreads its ranges over as many.
static const int rebuild_connections = 4;
// The pieces the plain loops read, the size the rebuild copies and verifies in.
static const size_t piece_length = 1024 * 1024;
// The server logs an answer after its last byte left, which may be after the client has it.
static const DWORD log_poll_ms = 20;
static const int log_polls = 500;
static const double mebibyte = 1048576.0;
static const char launcher_file[] = "launcher.exe";

static HINTERNET session;

// One listed file, its map, where the player's old copy waits and where the server logs.
struct Case {
    std::string folder;    // the game folder, ending in "\"
    std::string base_url;  // the address of the list's folder, ending in "/"
    UpdateEntry entry;     // the list's one file
    MapReference map;      // its block map, as the list names it
    std::string map_file;  // the same map on the disk, beside the list
    std::string old_copy;  // the old copy, linked in as the target before every rebuild
    std::string log;       // the server's log
    std::string target;    // where the file lands in the game folder
};

// What the server sent for the requests logged after a mark.
struct Served {
    uint64_t map_bytes;      // bodies of block map answers
    uint64_t file_bytes;     // bodies of the file's answers
    unsigned range_answers;  // 206 answers for the file
    unsigned whole_answers;  // other answers for the file
};

// When a rebuild began and ended, and when its progress first and last spoke: before the first
// report it fetched the map, searched and asked for its first range alone, between them it
// copied found blocks while the other ranges arrived, after the last it flushed, read the part
// back and moved it.
struct RebuildClock {
    double start;
    double first_report;  // 0 until the first report
    double last_report;
    double end;
};

static uint64_t ticks_of(const FILETIME& time)
{
    return uint64_t(time.dwHighDateTime) << 32 | time.dwLowDateTime;
}

// The machine's idle and total core time so far, as the system counts it for all cores.
struct CoreTimes {
    uint64_t idle;
    uint64_t total;
};

static CoreTimes core_times()
{
    FILETIME idle;
    FILETIME kernel;
    FILETIME user;
    GetSystemTimes(&idle, &kernel, &user);
    return CoreTimes{ticks_of(idle), ticks_of(kernel) + ticks_of(user)};  // kernel time holds the idle time
}

// The share of all cores busy since `since`: the bench and the server keep part of them busy
// themselves, so a step that saw them all busy met other work on the machine.
static double percent_busy_since(const CoreTimes& since)
{
    CoreTimes now = core_times();
    uint64_t total = now.total - since.total;
    return total == 0 ? 0 : 100.0 * double(total - (now.idle - since.idle)) / double(total);
}

static void fail(const std::string& what)
{
    fprintf(stderr, "delta_update_bench: %s\n", what.c_str());
    exit(1);
}

static const char* verdict(bool met)
{
    return met ? "met" : "MISSED";
}

static Case load_case(const std::string& folder, const std::string& base_url, const std::string& list_file,
                      const std::string& old_copy, const std::string& log)
{
    std::string text;
    UpdateList list;
    if (!read_whole_file(list_file, text) || !parse_update_list(text.c_str(), list) || list.files.size() != 1)
        fail("can't read a list of one file from " + list_file);
    BlockMaps maps = block_maps_of(list);
    BlockMaps::const_iterator found = maps.find(list.files[0].path);
    if (found == maps.end())
        fail(list_file + " names no block map");
    std::string list_folder = list_file.substr(0, list_file.find_last_of('\\') + 1);
    return Case{folder, base_url, list.files[0], found->second, join_local_path(list_folder, found->second.location),
                old_copy, log, join_local_path(folder, list.files[0].path)};
}

static void read_map(const Case& c, BlockMap& map)
{
    std::string bytes;
    std::string reason;
    if (!read_whole_file(c.map_file, bytes) || !read_block_map(bytes.data(), bytes.size(), c.entry.size, map, reason))
        fail("can't read the map " + c.map_file + ": " + reason);
}

static std::string field_after(const std::string& line, const char* key)
{
    size_t at = line.find(key);
    if (at == std::string::npos)
        return std::string();
    at += strlen(key);
    size_t end = line.find_first_of(",}", at);
    return line.substr(at, end - at);
}

static size_t count_of(const std::string& text, size_t from, const char* key)
{
    size_t found = 0;
    for (size_t at = text.find(key, from); at != std::string::npos; at = text.find(key, at + 1))
        ++found;
    return found;
}

// The log's length now: what is logged after it belongs to the next measurement.
static size_t log_mark(const Case& c)
{
    std::string text;
    read_whole_file(c.log, text);
    return text.size();
}

// Sums the answers logged after `mark`, once every request after it has its answer logged.
static Served served_since(const Case& c, size_t mark)
{
    std::string text;
    for (int poll = 0; poll < log_polls; ++poll) {
        read_whole_file(c.log, text);
        if (text.size() >= mark && count_of(text, mark, "\"method\"") == count_of(text, mark, "\"sent_for\""))
            break;
        Sleep(log_poll_ms);
    }
    Served served = {0, 0, 0, 0};
    for (size_t at = mark; at < text.size();) {
        size_t end = text.find('\n', at);
        std::string line = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? text.size() : end + 1;
        if (line.find("\"sent_for\"") == std::string::npos)
            continue;
        uint64_t bytes = strtoull(field_after(line, "\"bytes\": ").c_str(), NULL, 10);
        if (line.find("/launcher.maps/") != std::string::npos) {
            served.map_bytes += bytes;
        } else {
            served.file_bytes += bytes;
            if (field_after(line, "\"status\": ") == "206")
                ++served.range_answers;
            else
                ++served.whole_answers;
        }
    }
    return served;
}

static void remove_target(const Case& c)
{
    DeleteFileA(c.target.c_str());
    remove_part(c.target + ".part");
}

// The old copy takes the file's place as a second name of the cached file: the rebuild only reads
// it, so the cached bytes stay as they are for every round.
static void place_old_copy(const Case& c)
{
    remove_target(c);
    if (!CreateHardLinkA(c.target.c_str(), c.old_copy.c_str(), NULL))
        fail("can't link " + c.old_copy + " as " + c.target + " (error " + std::to_string(GetLastError()) + ")");
}

static void note_progress(void* context, uint64_t, uint64_t)
{
    RebuildClock& clock = *static_cast<RebuildClock*>(context);
    double now = seconds_now();
    if (clock.first_report == 0)
        clock.first_report = now;
    clock.last_report = now;
}

static void ignore_received(void*, uint64_t, uint64_t) {}

// The clock's first report is the first byte put in place, after the search.
static void ignore_search(void*, unsigned) {}

static RebuildClock timed_rebuild(const Case& c)
{
    place_old_copy(c);
    DownloadSource source = {session, c.base_url, c.folder};
    RebuildClock clock = {seconds_now(), 0, 0, 0};
    std::string error_text;
    RebuildMemory memory;
    Rebuild outcome = rebuild_file(source, listed_file(c.entry), c.map, c.target, rebuild_connections,
                                   RebuildSink{ignore_search, note_progress, &clock}, memory, error_text);
    clock.end = seconds_now();
    if (outcome != Rebuild::placed)
        fail(std::string("the rebuild ") + (outcome == Rebuild::fall_back ? "fell back to a whole download" : "failed") +
             (error_text.empty() ? "" : ": " + error_text));
    if (clock.first_report == 0) {
        clock.first_report = clock.end;
        clock.last_report = clock.end;
    }
    return clock;
}

static double timed_download(const Case& c)
{
    remove_target(c);
    DownloadSource source = {session, c.base_url, c.folder};
    std::string error_text;
    double start = seconds_now();
    if (!download_file(source, listed_file(c.entry), c.target, TransferSink{ignore_received, NULL}, error_text))
        fail("the whole download failed: " + error_text);
    double elapsed = seconds_now() - start;
    remove_target(c);
    return elapsed;
}

static double percent_of(uint64_t bytes, uint64_t whole)
{
    return 100.0 * double(bytes) / double(whole);
}

static int run_fetch(const Case& c, const char* name, double goal_percent)
{
    size_t mark = log_mark(c);
    RebuildClock clock = timed_rebuild(c);
    Served served = served_since(c, mark);
    remove_target(c);
    uint64_t total = served.map_bytes + served.file_bytes;
    bool met = percent_of(total, c.entry.size) <= goal_percent && served.whole_answers == 0;
    printf("fetched, %s: map %.2f MB + %u ranges %.2f MB = %.2f MB, %.3f%% of the %.0f MiB file (goal <= %.1f%%): "
           "%s; rebuilt in %.2f s\n",
           name, double(served.map_bytes) / 1e6, served.range_answers, double(served.file_bytes) / 1e6,
           double(total) / 1e6, percent_of(total, c.entry.size), double(c.entry.size) / mebibyte, goal_percent,
           verdict(met), clock.end - clock.start);
    return 0;
}

static void ignore_checked(void*, size_t, size_t) {}

// The pass checks the disk before it fetches anything: an identical old copy is found current,
// so neither the map nor a range is asked for. Its rebuild, which a pass never starts for it,
// shows that the search alone would leave nothing to fetch either.
static int run_unchanged(const Case& c)
{
    place_old_copy(c);
    size_t mark = log_mark(c);
    HashCache cache;
    LocalCheck check;
    check_local_files(c.folder, launcher_file, std::vector<UpdateEntry>{c.entry}, cache, 1,
                      CheckSink{ignore_checked, NULL}, check);
    Served checked = served_since(c, mark);
    uint64_t pass_bytes = checked.map_bytes + checked.file_bytes;
    bool current = check.download_list.empty() && pass_bytes == 0;
    printf("fetched, unchanged, by a pass: its check finds the old copy current, %u files to fetch, %llu bytes "
           "sent (goal: nothing, not even the map): %s\n",
           unsigned(check.download_list.size()), (unsigned long long)pass_bytes, verdict(current));
    mark = log_mark(c);
    RebuildClock clock = timed_rebuild(c);
    Served served = served_since(c, mark);
    remove_target(c);
    bool no_range = served.file_bytes == 0 && served.range_answers + served.whole_answers == 0;
    printf("fetched, unchanged, by rebuild_file of the identical copy: map %.2f MB + %u ranges %llu bytes "
           "(goal: no range): %s; rebuilt in %.2f s\n",
           double(served.map_bytes) / 1e6, served.range_answers, (unsigned long long)served.file_bytes,
           verdict(no_range), clock.end - clock.start);
    return 0;
}

static bool goal_met(const char* kind, double goal, double rebuild, double download)
{
    return strcmp(kind, "faster") == 0 ? download / rebuild >= goal : rebuild / download <= goal;
}

// Rounds of a rebuild and a whole download of the same file, alternating, so that both meet the
// same load; the best of each is compared.
static int run_race(const Case& c, int rounds, const char* name, const char* kind, double goal)
{
    RebuildClock best_rebuild = {0, 0, 0, 0};
    double best_download = 1e30;
    Served served = {0, 0, 0, 0};
    for (int round = 0; round < rounds; ++round) {
        size_t mark = log_mark(c);
        CoreTimes cores = core_times();
        RebuildClock clock = timed_rebuild(c);
        double rebuild_busy = percent_busy_since(cores);
        served = served_since(c, mark);
        remove_target(c);
        cores = core_times();
        double download = timed_download(c);
        double download_busy = percent_busy_since(cores);
        printf("  round %d: rebuild %.2f s (map and search %.2f, found blocks and ranges %.2f, flush, read-back "
               "and move %.2f; cores busy %.0f%%), whole download %.2f s (cores busy %.0f%%)\n",
               round + 1, clock.end - clock.start, clock.first_report - clock.start,
               clock.last_report - clock.first_report, clock.end - clock.last_report, rebuild_busy, download,
               download_busy);
        if (round == 0 || clock.end - clock.start < best_rebuild.end - best_rebuild.start)
            best_rebuild = clock;
        best_download = std::min(best_download, download);
    }
    double rebuild = best_rebuild.end - best_rebuild.start;
    bool faster = strcmp(kind, "faster") == 0;
    printf("time, %s: rebuild (map %.2f MB + %u ranges %.2f MB, %d connections) %.2f s, whole download %.2f s, "
           "best of %d: %.2fx %s (goal %s %.1fx): %s\n",
           name, double(served.map_bytes) / 1e6, served.range_answers, double(served.file_bytes) / 1e6,
           rebuild_connections, rebuild, best_download, rounds,
           faster ? best_download / rebuild : rebuild / best_download,
           faster ? "faster" : "the whole download's time", faster ? ">=" : "<=", goal,
           verdict(goal_met(kind, goal, rebuild, best_download)));
    return 0;
}

// The search reads its source as the rebuild has it read: ReadFile at an offset.
static size_t read_source(void* context, uint64_t offset, void* buffer, size_t length)
{
    size_t got = 0;
    read_exactly(static_cast<HANDLE>(context), offset, buffer, length, got);
    return got;
}

static HANDLE open_for_reading(const std::string& name)
{
    HANDLE file = CreateFileA(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        fail("can't open " + name);
    return file;
}

static uint64_t size_of(HANDLE file)
{
    LARGE_INTEGER size;
    return GetFileSizeEx(file, &size) ? uint64_t(size.QuadPart) : 0;
}

// Wall-clock and CPU seconds of one timed step.
struct Timing {
    double wall;
    double cpu;
};

static Timing timed_search(const BlockMap& map, const std::string& old_copy, std::vector<BlockOrigin>& origins,
                           SearchStats* stats = nullptr)
{
    HANDLE old = open_for_reading(old_copy);
    std::vector<DeltaSource> sources = {DeltaSource{read_source, old, size_of(old)}};
    std::string reason;
    double cpu = thread_cpu_seconds();
    double start = seconds_now();
    bool searched = search_blocks(map, sources, nullptr, origins, reason, stats);
    Timing timing = {seconds_now() - start, thread_cpu_seconds() - cpu};
    CloseHandle(old);
    if (!searched)
        fail("the search failed: " + reason);
    return timing;
}

// A plain loop: ReadFile in pieces, one after another, each fed to the launcher's MD5.
static Timing timed_read_md5(const std::string& name)
{
    HANDLE file = open_for_reading(name);
    std::vector<unsigned char> piece(piece_length);
    Md5Context md5;
    md5_init(md5);
    double cpu = thread_cpu_seconds();
    double start = seconds_now();
    DWORD got = 0;
    while (ReadFile(file, piece.data(), DWORD(piece.size()), &got, NULL) && got > 0)
        md5_update(md5, piece.data(), got);
    md5_final(md5);
    Timing timing = {seconds_now() - start, thread_cpu_seconds() - cpu};
    CloseHandle(file);
    return timing;
}

static uint32_t blocks_found(const std::vector<BlockOrigin>& origins)
{
    uint32_t found = 0;
    for (const BlockOrigin& origin : origins)
        found += origin.source != block_not_found ? 1 : 0;
    return found;
}

// What a pass over the old copy does with each block it reads, to tell the search's costs apart.
enum class BlockWork {
    none,         // reading alone
    weak_sums,    // the weak sum of every block, as the search's first pass computes it
    strong_sums,  // the MD5 of every block, as the search confirms a weak sum that matched
};

// Where the passes leave a trace of their sums, so that the compiler keeps the work.
static volatile uint32_t sums_trace;

static Timing timed_block_pass(const std::string& name, uint32_t block_size, BlockWork work)
{
    HANDLE file = open_for_reading(name);
    std::vector<unsigned char> piece(piece_length);
    unsigned char digest[md5_digest_length];
    uint32_t mixed = 0;
    double cpu = thread_cpu_seconds();
    double start = seconds_now();
    DWORD got = 0;
    while (ReadFile(file, piece.data(), DWORD(piece.size()), &got, NULL) && got > 0) {
        for (DWORD at = 0; work != BlockWork::none && at + block_size <= got; at += block_size) {
            if (work == BlockWork::weak_sums) {
                mixed ^= weak_sum(piece.data() + at, block_size);
            } else {
                strong_sum(piece.data() + at, block_size, digest);
                mixed ^= digest[0];
            }
        }
    }
    Timing timing = {seconds_now() - start, thread_cpu_seconds() - cpu};
    CloseHandle(file);
    sums_trace = mixed;
    return timing;
}

static double timed_index_build(const BlockMap& map)
{
    BlockIndex index;
    double start = seconds_now();
    build_block_index(map, index);
    return seconds_now() - start;
}

// What the search's work is made of, each timed alone over the old copy: its index of the map,
// reading, the weak sum of every block, the MD5 of every block.
static void print_search_parts(const char* name, const Case& c, const BlockMap& map)
{
    double index = timed_index_build(map);
    Timing read = timed_block_pass(c.old_copy, map.block_size, BlockWork::none);
    Timing weak = timed_block_pass(c.old_copy, map.block_size, BlockWork::weak_sums);
    Timing strong = timed_block_pass(c.old_copy, map.block_size, BlockWork::strong_sums);
    printf("%s, the search's parts alone: the index of the map %.2f s; passes over the old copy in %u-byte blocks: "
           "ReadFile alone %.2f s (CPU %.2f), with the weak sum of every block %.2f s (CPU %.2f), with the MD5 of "
           "every block %.2f s (CPU %.2f)\n",
           name, index, map.block_size, read.wall, read.cpu, weak.wall, weak.cpu, strong.wall, strong.cpu);
}

static int run_search(const Case& c, int rounds, double goal)
{
    BlockMap map;
    read_map(c, map);
    std::vector<BlockOrigin> origins;
    timed_read_md5(c.old_copy);  // into the page cache, so that both loops read memory
    Timing best_loop = {1e30, 0};
    Timing best_search = {1e30, 0};
    for (int round = 0; round < rounds; ++round) {
        Timing loop = timed_read_md5(c.old_copy);
        Timing search = timed_search(map, c.old_copy, origins);
        printf("  round %d: read + MD5 %.2f s (CPU %.2f s), search %.2f s (CPU %.2f s)\n", round + 1, loop.wall,
               loop.cpu, search.wall, search.cpu);
        if (loop.wall < best_loop.wall)
            best_loop = loop;
        if (search.wall < best_search.wall)
            best_search = search;
    }
    double megabytes = double(c.entry.size) / mebibyte;
    bool met = best_loop.wall / best_search.wall >= goal && blocks_found(origins) == origins.size();
    printf("search of the unchanged %.0f MiB file through ReadFile: %.0f MiB/s, all %u blocks found; plain "
           "ReadFile + MD5 loop %.0f MiB/s; best of %d: %.2f of its speed, %.2f in CPU time (goal >= %.2f): %s\n",
           megabytes, megabytes / best_search.wall, unsigned(origins.size()), megabytes / best_loop.wall, rounds,
           best_loop.wall / best_search.wall, best_loop.cpu / best_search.cpu, goal, verdict(met));
    print_search_parts("search", c, map);
    return 0;
}

// One case of weak sums that collide: the search of `map` over `old_copy` against the search of
// the unchanged file, rounds alternating so that both meet the same load, best of each by the
// wall clock; `expected` blocks must be found.
static void run_collision(const char* name, const Case& unchanged, const BlockMap& unchanged_map,
                          const BlockMap& map, const std::string& old_copy, uint32_t expected, int rounds, double goal)
{
    std::vector<BlockOrigin> origins;
    SearchStats stats = {};
    timed_read_md5(old_copy);  // into the page cache, where the unchanged file lies already
    Timing best_unchanged = {1e30, 0};
    Timing best = {1e30, 0};
    for (int round = 0; round < rounds; ++round) {
        Timing plain = timed_search(unchanged_map, unchanged.old_copy, origins);
        Timing search = timed_search(map, old_copy, origins, &stats);
        printf("  round %d: search of the unchanged file %.2f s (CPU %.2f s), %s %.2f s (CPU %.2f s)\n", round + 1,
               plain.wall, plain.cpu, name, search.wall, search.cpu);
        if (plain.wall < best_unchanged.wall)
            best_unchanged = plain;
        if (search.wall < best.wall)
            best = search;
    }
    double ratio = best.wall / best_unchanged.wall;
    uint32_t found = blocks_found(origins);
    printf("search, %s: %.2f s against %.2f s for the unchanged file, best of %d: %.2fx its time, %.2fx in CPU "
           "time (goal <= %.1fx), %u of %u blocks found (goal %u); %.0f MB read, %llu MD5s of %.1f MB, %llu "
           "lookups, %.0f MB passed unlooked: %s\n",
           name, best.wall, best_unchanged.wall, rounds, ratio, best.cpu / best_unchanged.cpu, goal, found,
           unsigned(origins.size()), expected, double(stats.bytes_read) / 1e6,
           (unsigned long long)stats.strong_checks, double(stats.bytes_strong_summed) / 1e6,
           (unsigned long long)stats.lookups, double(stats.bytes_unlooked) / 1e6,
           verdict(ratio <= goal && found == expected));
}

// The two cases of weak sums that collide: an old archive of zero padding whose release refilled
// the padding with new bytes and a block of blanks (all but its head and tail must be fetched),
// and a hostile map whose every weak sum is the zero block's against a file of zeros.
static int run_collide(const Case& unchanged, const Case& padded, const std::string& zeros, int rounds, double goal)
{
    BlockMap unchanged_map;
    read_map(unchanged, unchanged_map);
    BlockMap release;
    read_map(padded, release);
    timed_read_md5(unchanged.old_copy);
    run_collision("padding refilled with new bytes and a block of blanks", unchanged, unchanged_map, release,
                  padded.old_copy, padded_blocks_kept(padded.entry.size, release.block_size), rounds, goal);
    HANDLE file = open_for_reading(zeros);
    uint64_t zeros_size = size_of(file);
    CloseHandle(file);
    run_collision("a map of weak sums all the zero block's over zeros", unchanged, unchanged_map,
                  hostile_map(zeros_size), zeros, 0, rounds, goal);
    return 0;
}

// Makes a case's file under a name of its own first, so that a run stopped midway leaves no file
// that a later run would take for a made one.
static int run_make(const std::string& kind_name, const std::string& name, uint64_t size)
{
    CaseBytes kind = CaseBytes::zeros;
    if (kind_name == "padded-old")
        kind = CaseBytes::padded_old;
    else if (kind_name == "padded-release")
        kind = CaseBytes::padded_release;
    else if (kind_name != "zeros")
        fail("no case file " + kind_name);
    if (size == 0 || size % 8 != 0)
        fail("a case file's size is a multiple of 8 bytes");
    std::string temporary = name + ".tmp";
    HANDLE file = CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        fail("can't make " + temporary);
    CaseFile made = start_case_file(kind, size);
    std::vector<unsigned char> piece;
    bool written = true;
    for (uint64_t done = 0; done < size && written; done += piece.size()) {
        piece.resize(size_t(std::min<uint64_t>(piece_length, size - done)));
        fill_case_piece(made, piece);
        written = write_exactly(file, done, piece.data(), piece.size());
    }
    CloseHandle(file);
    if (!written || !MoveFileExA(temporary.c_str(), name.c_str(), MOVEFILE_REPLACE_EXISTING))
        fail("can't write " + name);
    return 0;
}

// Copies `length` bytes from `from` in the old copy to `to` in the part, in pieces.
static void copy_run(HANDLE old, uint64_t from, HANDLE part, uint64_t to, uint64_t length,
                     std::vector<unsigned char>& piece)
{
    for (uint64_t done = 0; done < length;) {
        size_t step = size_t(std::min<uint64_t>(piece.size(), length - done));
        size_t got = 0;
        if (!read_exactly(old, from + done, piece.data(), step, got))
            fail("can't read the old copy");
        if (!write_exactly(part, to + done, piece.data(), step))
            fail("can't write the copy");
        done += step;
    }
}

// The copy of the found blocks as the rebuild makes it: runs of blocks that lie together in the
// old copy, read from there and written at their place in a new file; then the flush that comes
// before a part may take its name.
static void timed_copy(const BlockMap& map, const std::vector<BlockOrigin>& origins, const std::string& old_copy,
                       const std::string& part_path, Timing& copy, Timing& flush)
{
    HANDLE old = open_for_reading(old_copy);
    HANDLE part = CreateFileA(part_path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (part == INVALID_HANDLE_VALUE)
        fail("can't make " + part_path);
    std::vector<unsigned char> piece(piece_length);
    double cpu = thread_cpu_seconds();
    double start = seconds_now();
    uint32_t blocks = uint32_t(origins.size());
    for (uint32_t first = 0; first < blocks;) {
        const BlockOrigin& origin = origins[first];
        uint32_t last = first + 1;
        while (last < blocks && origin.source != block_not_found && origins[last].source == origin.source &&
               origins[last].offset == origin.offset + uint64_t(last - first) * map.block_size)
            ++last;
        uint64_t target = uint64_t(first) * map.block_size;
        uint64_t length = std::min<uint64_t>(uint64_t(last - first) * map.block_size, map.file_size - target);
        if (origin.source != block_not_found)
            copy_run(old, origin.offset, part, target, length, piece);
        first = last;
    }
    copy = Timing{seconds_now() - start, thread_cpu_seconds() - cpu};
    cpu = thread_cpu_seconds();
    start = seconds_now();
    FlushFileBuffers(part);
    flush = Timing{seconds_now() - start, thread_cpu_seconds() - cpu};
    CloseHandle(part);
    CloseHandle(old);
}

// The rebuild's steps one after another in one thread, each timed on its own: the search over the
// old copy (and what it is made of: reading, the weak sums, the MD5 of every block), the copy of
// what it found, the flush, and the read-back of the new file through MD5.
static int run_profile(const Case& c)
{
    BlockMap map;
    read_map(c, map);
    std::vector<BlockOrigin> origins;
    timed_read_md5(c.old_copy);  // into the page cache, where the race's rebuilds found it too
    Timing search = timed_search(map, c.old_copy, origins);
    std::string part_path = c.folder + "profile.part";
    Timing copy = {0, 0};
    Timing flush = {0, 0};
    timed_copy(map, origins, c.old_copy, part_path, copy, flush);
    Timing read_back = timed_read_md5(part_path);
    DeleteFileA(part_path.c_str());
    double megabytes = double(c.entry.size) / mebibyte;
    printf("profile, the rebuild's steps alone on one thread: search %.2f s (CPU %.2f, %.0f MiB/s, %u of %u blocks "
           "found), copy of the found blocks %.2f s (CPU %.2f), flush %.2f s, read-back + MD5 %.2f s (CPU %.2f, "
           "%.0f MiB/s); together %.2f s\n",
           search.wall, search.cpu, megabytes / search.wall, blocks_found(origins), unsigned(origins.size()), copy.wall,
           copy.cpu, flush.wall, read_back.wall, read_back.cpu, megabytes / read_back.wall,
           search.wall + copy.wall + flush.wall + read_back.wall);
    print_search_parts("profile", c, map);
    return 0;
}

static int run_memory(const Case& c, double goal_mib)
{
    double before = peak_working_set_mib();
    size_t mark = log_mark(c);
    RebuildClock clock = timed_rebuild(c);
    double peak = peak_working_set_mib();
    Served served = served_since(c, mark);
    remove_target(c);
    printf("memory, rebuild of a %.1f GiB file (map %.2f MB + %u ranges %.2f MB, %.2f s): peak working set %.1f MiB "
           "(%.1f MiB before it began) (goal <= %.0f MiB): %s\n",
           double(c.entry.size) / (mebibyte * 1024), double(served.map_bytes) / 1e6, served.range_answers,
           double(served.file_bytes) / 1e6, clock.end - clock.start, peak, before, goal_mib,
           verdict(peak <= goal_mib));
    return 0;
}

// The pass lets WinINet open as many connections to the server as it has been told to use; the
// setting is the process's own.
static void open_session()
{
    session = prepare_internet_session();
    if (session == NULL)
        fail("no internet session");
    DWORD count = DWORD(rebuild_connections);
    InternetSetOptionA(NULL, INTERNET_OPTION_MAX_CONNS_PER_SERVER, &count, sizeof(count));
    InternetSetOptionA(NULL, INTERNET_OPTION_MAX_CONNS_PER_1_0_SERVER, &count, sizeof(count));
}

int main(int argc, char** argv)
{
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "search" && argc == 6)
        return run_search(load_case("", "", argv[2], argv[3], ""), std::max(1, atoi(argv[4])), atof(argv[5]));
    if (mode == "profile" && argc == 5)
        return run_profile(load_case(argv[2], "", argv[3], argv[4], ""));
    if (mode == "collide" && argc == 9)
        return run_collide(load_case("", "", argv[2], argv[3], ""), load_case("", "", argv[4], argv[5], ""), argv[6],
                           std::max(1, atoi(argv[7])), atof(argv[8]));
    if (mode == "make" && argc == 5)
        return run_make(argv[2], argv[3], strtoull(argv[4], NULL, 10));
    if (argc < 7) {
        fprintf(stderr, "usage: delta_update_bench fetch|unchanged|race|memory DIR URL LIST OLD LOG ... | "
                        "profile DIR LIST OLD | search LIST OLD ROUNDS GOAL | "
                        "collide LIST OLD PLIST POLD ZEROS ROUNDS GOAL | make KIND FILE SIZE\n");
        return 2;
    }
    Case c = load_case(argv[2], argv[3], argv[4], argv[5], argv[6]);
    open_session();
    if (mode == "fetch" && argc == 9)
        return run_fetch(c, argv[7], atof(argv[8]));
    if (mode == "unchanged" && argc == 7)
        return run_unchanged(c);
    if (mode == "race" && argc == 11)
        return run_race(c, std::max(1, atoi(argv[7])), argv[8], argv[9], atof(argv[10]));
    if (mode == "memory" && argc == 8)
        return run_memory(c, atof(argv[7]));
    fprintf(stderr, "delta_update_bench: unknown mode or wrong arguments\n");
    return 2;
}
