// Speed of the local check, of the downloads and of a signed list's check, each against a bare
// loop over the same platform calls, against itself on one thread or against the pass's parsing
// in the same run, plus the peak working set of a download and the digests' speed in memory.
// Driven by run_update_bench.sh.
//   update_bench check DIR LIST T            check with no cache on 1 and T threads, bare loops
//                                            on 1 and T threads, check with a warm cache
//   update_bench download DIR URL LIST N     N rounds of download_file against the bare loop
//                                            (both with SHA-256 too for a signed LIST);
//                                            N = 0 downloads once and reports memory only
//   update_bench batch DIR URL LIST N C      N rounds of the pass's download step on 1 and on C
//                                            connections; N = 0 runs C once, reports memory
//   update_bench resume DIR URL LIST         a first attempt the server cuts, then the retry
//   update_bench switch DIR URL LIST N C     N rounds of the download step on C connections and
//                                            the switch that installs what it fetched
//   update_bench signature DIR LIST KEY N    the signature steps of a pass over the signed LIST
//                                            (KEY: the PublicKey value) against its parsing,
//                                            best of N; DIR holds launcher.release
//   update_bench md5 P N                     the launcher's MD5 in P passes over 64 MiB in memory,
//                                            with the system's SHA-256 over the same bytes for
//                                            context, best of N
#include <windows.h>
#include <wininet.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_measure.h"
#include "digest/md5.h"
#include "digest/sha256.h"
#include "engine/download_batch.h"
#include "engine/release_install.h"
#include "engine/signed_release.h"
#include "game_folder/local_check.h"
#include "transfer/download.h"
#include "transfer/http_request.h"
#include "transfer/url.h"
#include "update_list/base64.h"
#include "update_list/local_path.h"
#include "update_list/signed_list.h"
#include "update_list/update_list.h"

static const int check_rounds = 3;
static const DWORD block_size = 65536;
static const DWORD download_flags = 0x84000200;
static const char launcher_file[] = "launcher.exe";
// The test server's "generate" pattern (bytes 0..250 repeated), so the script can check the
// digests of the md5 mode without sharing a generator.
static const unsigned pattern_period = 251;
static const unsigned md5_buffer_mebibytes = 64;

static unsigned char bare_buffer[block_size];

// The game folder (ending in "\"), the server's address and the session of this run.
static std::string folder;
static std::string base_url;
static HINTERNET session;

// The entries of a signed list get their SHA-256 as a pass gives them, so that their downloads
// check it too.
static bool load_list(const char* file_name, UpdateList& list)
{
    std::string text;
    if (!read_whole_file(file_name, text) || !parse_update_list(text.c_str(), list))
        return false;
    if (text.find("\nH|") == std::string::npos)
        return true;
    uint64_t sequence = 0;
    std::string error_text;
    return read_signed_lines(text, list.files, sequence, error_text);
}

static bool is_signed(const UpdateList& list)
{
    return !list.files.empty() && !list.files[0].sha256.empty();
}

static uint64_t total_size(const UpdateList& list)
{
    uint64_t total = 0;
    for (const UpdateEntry& entry : list.files)
        total += entry.size;
    return total;
}

// The reports cost what the pass's do, apart from the window.
static void count_checked(void* context, size_t, size_t)
{
    ++*static_cast<unsigned*>(context);
}

static void count_received(void* context, uint64_t, uint64_t)
{
    ++*static_cast<unsigned*>(context);
}

static double timed_check(const UpdateList& list, bool use_cache, int threads, size_t& to_fetch)
{
    HashCache cache;
    if (use_cache)
        load_hash_cache(folder, cache);
    LocalCheck check;
    unsigned reports = 0;
    double start = seconds_now();
    check_local_files(folder, launcher_file, list.files, cache, threads,
                      CheckSink{count_checked, &reports}, check);
    double elapsed = seconds_now() - start;
    save_hash_cache(folder, cache);
    to_fetch = check.download_list.size();
    return elapsed;
}

static double timed_attribute_loop(const UpdateList& list)
{
    double start = seconds_now();
    WIN32_FILE_ATTRIBUTE_DATA data;
    unsigned found = 0;
    for (const UpdateEntry& entry : list.files) {
        std::string path = join_local_path(folder, entry.path);
        found += GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data) ? 1 : 0;
    }
    double elapsed = seconds_now() - start;
    if (found != list.files.size())
        fprintf(stderr, "only %u of %u files found\n", found, unsigned(list.files.size()));
    return elapsed;
}

// The files of a bare loop, shared out by a counter among its threads.
struct BareLoop {
    const UpdateList* list;
    volatile LONG next;
    bool open_only;  // open and close each file without reading it
};

static DWORD WINAPI bare_read_files(LPVOID shared)
{
    BareLoop& loop = *static_cast<BareLoop*>(shared);
    std::vector<unsigned char> buffer(block_size);
    for (;;) {
        LONG i = InterlockedIncrement(&loop.next) - 1;
        if (i >= LONG(loop.list->files.size()))
            return 0;
        FILE* stream = fopen(join_local_path(folder, loop.list->files[size_t(i)].path).c_str(), "rb");
        if (stream == NULL)
            continue;
        Md5Context context;
        md5_init(context);
        size_t got;
        while (!loop.open_only && (got = fread(buffer.data(), 1, block_size, stream)) > 0)
            md5_update(context, buffer.data(), uint32_t(got));
        fclose(stream);
        md5_final(context);
    }
}

// Reading and digesting every file with nothing else around it, on `threads` threads: the floor
// of a check with no cache on this platform, to tell the check's own cost from the cost of
// reading under wine. With `open_only` it only opens and closes each file.
static double timed_read_loop(const UpdateList& list, int threads, bool open_only)
{
    BareLoop loop = {&list, 0, open_only};
    double start = seconds_now();
    std::vector<HANDLE> started;
    for (int t = 0; t < threads; ++t)
        started.push_back(CreateThread(NULL, 0, bare_read_files, &loop, 0, NULL));
    WaitForMultipleObjects(DWORD(started.size()), started.data(), TRUE, INFINITE);
    for (HANDLE thread : started)
        CloseHandle(thread);
    return seconds_now() - start;
}

static double best_of(double a, double b)
{
    return a < b ? a : b;
}

static int run_check(const UpdateList& list, int threads)
{
    size_t to_fetch = 0;
    double cold_one = 1e30;
    double cold_many = 1e30;
    double bare_one = 1e30;
    double bare_many = 1e30;
    double open_one = 1e30;
    double open_many = 1e30;
    for (int round = 0; round < check_rounds; ++round) {
        DeleteFileA((folder + "launcher.cache").c_str());
        cold_one = best_of(cold_one, timed_check(list, false, 1, to_fetch));
        DeleteFileA((folder + "launcher.cache").c_str());
        cold_many = best_of(cold_many, timed_check(list, false, threads, to_fetch));
        bare_one = best_of(bare_one, timed_read_loop(list, 1, false));
        bare_many = best_of(bare_many, timed_read_loop(list, threads, false));
        open_one = best_of(open_one, timed_read_loop(list, 1, true));
        open_many = best_of(open_many, timed_read_loop(list, threads, true));
    }
    double megabytes = double(total_size(list)) / 1048576.0;
    printf("check, no cache, 1 thread: %u files, %.1f MiB in %.3f s = %.1f MiB/s (%u to fetch)\n",
           unsigned(list.files.size()), megabytes, cold_one, megabytes / cold_one,
           unsigned(to_fetch));
    printf("check, no cache, %d threads: %.3f s = %.1f MiB/s; speed-up %.2f (goal >= 1.5)\n",
           threads, cold_many, megabytes / cold_many, cold_one / cold_many);
    printf("bare fopen/fread/md5 loop, 1 thread: %.3f s = %.1f MiB/s; check / loop throughput "
           "%.2f\n", bare_one, megabytes / bare_one, bare_one / cold_one);
    printf("bare loop, %d threads: %.3f s = %.1f MiB/s; speed-up %.2f; check / loop throughput "
           "%.2f\n", threads, bare_many, megabytes / bare_many, bare_one / bare_many,
           bare_many / cold_many);
    printf("open and close only, 1 thread: %.3f s; %d threads: %.3f s\n", open_one, threads,
           open_many);
    double best_warm = 1e30;
    double best_bare = 1e30;
    for (int round = 0; round < check_rounds; ++round) {
        best_warm = best_of(best_warm, timed_check(list, true, threads, to_fetch));
        best_bare = best_of(best_bare, timed_attribute_loop(list));
    }
    printf("check, warm cache: %.1f ms; bare GetFileAttributesExA loop: %.1f ms; ratio %.2f "
           "(goal <= 2)\n", best_warm * 1000, best_bare * 1000, best_warm / best_bare);
    printf("COLD_MIBS %.1f\n", megabytes / cold_many);
    return 0;
}

static double timed_downloads(const UpdateList& list)
{
    unsigned reports = 0;
    DownloadSource source = {session, base_url, folder};
    std::string error_text;
    remove_part_files(folder, list.files);
    double start = seconds_now();
    for (const UpdateEntry& entry : list.files) {
        if (!download_file(source, listed_file(entry), join_local_path(folder, entry.path),
                           TransferSink{count_received, &reports}, error_text)) {
            fprintf(stderr, "download of %s failed: %s\n", entry.path.c_str(), error_text.c_str());
            exit(1);
        }
    }
    return seconds_now() - start;
}

// Opens the request the way download_file does, or with the stack's one-call open for context.
static bool bare_open(const std::string& url, bool one_call_open, HttpRequest& http)
{
    std::string error_text;
    if (!one_call_open)
        return open_http_request(session, url, download_flags, "", http, error_text);
    http.connection = NULL;
    http.request = InternetOpenUrlA(session, url.c_str(), NULL, 0, download_flags, 0);
    return http.request != NULL;
}

// The same stack with nothing but the work every download must do: read, digest (MD5, and the
// system's SHA-256 for an entry of a signed list), write.
static double timed_bare_loop(const UpdateList& list, bool one_call_open)
{
    std::string scratch = folder + "bare.tmp";
    std::string error_text;
    remove_part_files(folder, list.files);
    double start = seconds_now();
    for (const UpdateEntry& entry : list.files) {
        std::string url = base_url + percent_encode(entry.path) + "?v=" + entry.md5;
        HttpRequest http;
        if (!bare_open(url, one_call_open, http)) {
            fprintf(stderr, "bare open of %s failed\n", url.c_str());
            exit(1);
        }
        FILE* stream = fopen(scratch.c_str(), "wb");
        Md5Context context;
        md5_init(context);
        bool with_sha256 = !entry.sha256.empty();
        Sha256Context sha256 = {nullptr, nullptr};
        if (with_sha256 && !sha256_begin(sha256, error_text)) {
            fprintf(stderr, "bare loop: %s\n", error_text.c_str());
            exit(1);
        }
        DWORD got = 0;
        while (InternetReadFile(http.request, bare_buffer, block_size, &got) && got > 0) {
            md5_update(context, bare_buffer, got);
            if (with_sha256)
                sha256_update(sha256, bare_buffer, got, error_text);
            fwrite(bare_buffer, 1, got, stream);
        }
        fclose(stream);
        close_http_request(http);
        std::string sha256_text;
        if (with_sha256)
            sha256_final(sha256, sha256_text, error_text);
        if (md5_final(context) != entry.md5 || sha256_text != entry.sha256) {
            fprintf(stderr, "bare loop got other bytes for %s\n", entry.path.c_str());
            exit(1);
        }
    }
    double elapsed = seconds_now() - start;
    DeleteFileA(scratch.c_str());
    return elapsed;
}

static int run_download(const UpdateList& list, int rounds)
{
    session = InternetOpenA("Tavrinor-Launcher/1.0", INTERNET_OPEN_TYPE_PRECONFIG, NULL, NULL, 0);
    double megabytes = double(total_size(list)) / 1048576.0;
    if (rounds == 0) {
        double elapsed = timed_downloads(list);
        printf("download: %u files, %.1f MiB in %.2f s = %.1f MiB/s; peak working set %.1f MiB\n",
               unsigned(list.files.size()), megabytes, elapsed, megabytes / elapsed,
               peak_working_set_mib());
        return 0;
    }
    double best_download = 1e30;
    double best_download_cpu = 1e30;
    double best_bare = 1e30;
    double best_one_call = 1e30;
    for (int round = 0; round < rounds; ++round) {
        double cpu_start = process_cpu_seconds();
        double download = timed_downloads(list);
        best_download_cpu = best_of(best_download_cpu, process_cpu_seconds() - cpu_start);
        double bare = timed_bare_loop(list, false);
        double one_call = timed_bare_loop(list, true);
        best_download = download < best_download ? download : best_download;
        best_bare = bare < best_bare ? bare : best_bare;
        best_one_call = one_call < best_one_call ? one_call : best_one_call;
    }
    printf("download%s: %u files, %.1f MiB: download_file %.2f s (%.1f MiB/s; %.2f s of CPU), "
           "bare loop %.2f s (%.1f MiB/s); throughput ratio %.2f (goal >= 0.9); peak working set "
           "%.1f MiB\n", is_signed(list) ? " (signed: MD5 and SHA-256)" : "",
           unsigned(list.files.size()), megabytes, best_download, megabytes / best_download,
           best_download_cpu, best_bare, megabytes / best_bare, best_bare / best_download,
           peak_working_set_mib());
    printf("bare loop with the one-call InternetOpenUrlA instead, for context: %.2f s (%.1f MiB/s)\n",
           best_one_call, megabytes / best_one_call);
    printf("DOWNLOAD_MIBS %.1f %.1f %.1f\n", megabytes / best_download, megabytes / best_bare,
           megabytes / best_download_cpu);
    return 0;
}

static void ignore_text(void*, const char*) {}
static void ignore_position(void*, unsigned) {}
static void ignore_lock(void*, bool) {}
static void ignore_end(void*, PassEnd) {}

// The pass's download step over the whole list with `connections`, its reports going nowhere.
static double timed_batch(const UpdateList& list, int connections)
{
    PassObserver quiet = {NULL,        ignore_text, ignore_text, ignore_position,
                          ignore_text, ignore_text, ignore_lock, ignore_end};
    LocalCheck check;
    check.download_list = list.files;
    check.download_total = total_size(list);
    DownloadSource source = {session, base_url, folder};
    remove_part_files(folder, list.files);
    double start = seconds_now();
    bool arrived = download_files(source, quiet, check, BlockMaps(), connections);
    double elapsed = seconds_now() - start;
    if (!arrived) {
        fprintf(stderr, "the download step failed with %d connections\n", connections);
        exit(1);
    }
    return elapsed;
}

// The download step of a pass over the whole list on `connections`, then the switch that moves
// every part over its file; the best of `rounds` of each, the files of the round before being the
// old ones, as in an update.
static int run_switch(const UpdateList& list, int rounds, int connections)
{
    session = InternetOpenA("Tavrinor-Launcher/1.0", INTERNET_OPEN_TYPE_PRECONFIG, NULL, NULL, 0);
    PassObserver quiet = {NULL,        ignore_text, ignore_text, ignore_position,
                          ignore_text, ignore_text, ignore_lock, ignore_end};
    LocalCheck check;
    check.download_list = list.files;
    check.download_total = total_size(list);
    double best_download = 1e30;
    double best_switch = 1e30;
    for (int round = 0; round < rounds; ++round) {
        double download = timed_batch(list, connections);
        HashCache cache;
        double start = seconds_now();
        if (!install_release(folder, "launcher.exe", quiet, list, check, cache)) {
            fprintf(stderr, "the switch failed\n");
            exit(1);
        }
        best_switch = best_of(best_switch, seconds_now() - start);
        best_download = best_of(best_download, download);
        DeleteFileA((folder + "launcher.cache").c_str());
    }
    double share = 100.0 * best_switch / (best_download + best_switch);
    printf("switch: %u files: download step on %d connections %.2f s, switch %.3f s = %.1f%% of the "
           "pass (goal <= 10%%)\n", unsigned(list.files.size()), connections, best_download, best_switch, share);
    printf("SWITCH_SHARE %.1f\n", share);
    return 0;
}

// Rounds of the download step with one connection and with `connections`; rounds = 0 runs the
// latter once and reports the peak working set.
static int run_batch(const UpdateList& list, int rounds, int connections)
{
    session = InternetOpenA("Tavrinor-Launcher/1.0", INTERNET_OPEN_TYPE_PRECONFIG, NULL, NULL, 0);
    double megabytes = double(total_size(list)) / 1048576.0;
    if (rounds == 0) {
        double elapsed = timed_batch(list, connections);
        printf("download step, %d connections: %u files, %.1f MiB in %.2f s; peak working set "
               "%.1f MiB (goal <= 40)\n", connections, unsigned(list.files.size()), megabytes,
               elapsed, peak_working_set_mib());
        return 0;
    }
    double one = 1e30;
    double many = 1e30;
    for (int round = 0; round < rounds; ++round) {
        one = best_of(one, timed_batch(list, 1));
        many = best_of(many, timed_batch(list, connections));
    }
    printf("download step: %u files, %.1f MiB: 1 connection %.2f s, %d connections %.2f s; "
           "speed-up %.2f\n", unsigned(list.files.size()), megabytes, one, connections, many,
           one / many);
    printf("SPEEDUP %.2f\n", one / many);
    return 0;
}

static void note_arrived(void* context, uint64_t, uint64_t arrived)
{
    *static_cast<uint64_t*>(context) = arrived;
}

// One file whose first attempt the server cuts; the second goes on from the kept part.
static int run_resume(const UpdateList& list)
{
    session = InternetOpenA("Tavrinor-Launcher/1.0", INTERNET_OPEN_TYPE_PRECONFIG, NULL, NULL, 0);
    const UpdateEntry& entry = list.files.at(0);
    DownloadSource source = {session, base_url, folder};
    std::string target = join_local_path(folder, entry.path);
    uint64_t first = 0;
    uint64_t retry = 0;
    std::string error_text;
    if (download_file(source, listed_file(entry), target, TransferSink{note_arrived, &first}, error_text)) {
        fprintf(stderr, "the first attempt was not cut\n");
        return 1;
    }
    double start = seconds_now();
    if (!download_file(source, listed_file(entry), target, TransferSink{note_arrived, &retry}, error_text)) {
        fprintf(stderr, "the retry failed: %s\n", error_text.c_str());
        return 1;
    }
    double elapsed = seconds_now() - start;
    printf("resume: the first attempt broke off after %.1f MiB (%s); the retry received %.1f MiB "
           "= %.1f%% of the file in %.2f s, including reading the kept part (goal <= 40%% + 1 MiB)"
           "\n", double(first) / 1048576.0, "connection lost", double(retry) / 1048576.0,
           100.0 * double(retry) / double(entry.size), elapsed);
    DeleteFileA(target.c_str());
    remove_part_files(folder, {entry});
    return 0;
}

static void fail_signature(const char* step, const std::string& error_text)
{
    fprintf(stderr, "%s refused the list: %s\n", step, error_text.c_str());
    exit(1);
}

// The best times of each step a pass takes over a signed list.
struct SignatureTimes {
    double find = 1e30;        // find_list_signature: the Signature line, decoded
    double hash = 1e30;        // the system's SHA-256 over the signed bytes
    double check = 1e30;       // check_list_signature: find, hash and the ECDSA verification
    double parse = 1e30;       // parse_update_list over the signed bytes, as every pass does
    double accept_new = 1e30;  // accept_signed_release of a new release: launcher.release written
    double accept_same = 1e30; // accept_signed_release of the release already accepted
};

static void time_signature_round(const std::string& text, const std::string& public_key,
                                 SignatureTimes& best)
{
    std::string error_text;
    std::string fetched = text;
    ListSignature found;
    double start = seconds_now();
    if (!find_list_signature(fetched, found, error_text))
        fail_signature("find_list_signature", error_text);
    best.find = best_of(best.find, seconds_now() - start);
    unsigned char digest[sha256_digest_length];
    start = seconds_now();
    if (!sha256_of(fetched.data(), found.signed_length, digest, error_text))
        fail_signature("sha256_of", error_text);
    best.hash = best_of(best.hash, seconds_now() - start);
    start = seconds_now();
    ListSigning signing;
    if (check_list_signature(folder, public_key, "", fetched, signing, error_text) != ReleaseVerdict::accepted)
        fail_signature("check_list_signature", error_text);
    best.check = best_of(best.check, seconds_now() - start);
    UpdateList list;
    start = seconds_now();
    parse_update_list(fetched.c_str(), list);
    best.parse = best_of(best.parse, seconds_now() - start);
    // Each acceptance gets entries fresh from the parser, as a pass does: their SHA-256 texts
    // are made, not refilled.
    UpdateList again;
    parse_update_list(fetched.c_str(), again);
    DeleteFileA((folder + accepted_release_file_name).c_str());
    start = seconds_now();
    if (accept_signed_release(folder, 0, fetched, public_key, signing, list, error_text) != ReleaseVerdict::accepted)
        fail_signature("accept_signed_release", error_text);
    best.accept_new = best_of(best.accept_new, seconds_now() - start);
    start = seconds_now();
    if (accept_signed_release(folder, 0, fetched, public_key, signing, again, error_text) != ReleaseVerdict::accepted)
        fail_signature("accept_signed_release", error_text);
    best.accept_same = best_of(best.accept_same, seconds_now() - start);
}

static int run_signature(const std::string& text, const std::string& public_key, int rounds)
{
    SignatureTimes best;
    for (int round = 0; round < rounds; ++round)
        time_signature_round(text, public_key, best);
    UpdateList list;
    parse_update_list(text.c_str(), list);
    double ms = 1000;
    printf("signed list: %u entries, %.2f MiB; best of %d rounds\n", unsigned(list.files.size()),
           double(text.size()) / 1048576.0, rounds);
    printf("check_list_signature %.1f ms (finding the line %.1f ms, SHA-256 of the signed bytes %.1f "
           "ms, the rest ECDSA %.1f ms)\n", best.check * ms, best.find * ms, best.hash * ms,
           (best.check - best.find - best.hash) * ms);
    printf("accept_signed_release (H| lines, Sequence) %.1f ms, of a new release with "
           "launcher.release written %.1f ms\n", best.accept_same * ms, best.accept_new * ms);
    printf("parse_update_list alone %.1f ms\n", best.parse * ms);
    printf("signature additions to a pass: %.1f ms, with a new release %.1f ms (goal <= 50); "
           "%.2f and %.2f times the parsing\n", (best.check + best.accept_same) * ms,
           (best.check + best.accept_new) * ms, (best.check + best.accept_same) / best.parse,
           (best.check + best.accept_new) / best.parse);
    return 0;
}

static double timed_md5(const std::vector<unsigned char>& bytes, int passes, std::string& digest)
{
    double start = thread_cpu_seconds();
    Md5Context context;
    md5_init(context);
    for (int pass = 0; pass < passes; ++pass) {
        for (size_t done = 0; done < bytes.size(); done += block_size)
            md5_update(context, bytes.data() + done, block_size);
    }
    digest = md5_final(context);
    return thread_cpu_seconds() - start;
}

static double timed_sha256(const std::vector<unsigned char>& bytes, int passes, std::string& digest)
{
    std::string error_text;
    Sha256Context context = {nullptr, nullptr};
    double start = thread_cpu_seconds();
    bool hashed = sha256_begin(context, error_text);
    for (int pass = 0; hashed && pass < passes; ++pass) {
        for (size_t done = 0; hashed && done < bytes.size(); done += block_size)
            hashed = sha256_update(context, bytes.data() + done, block_size, error_text);
    }
    hashed = hashed && sha256_final(context, digest, error_text);
    double elapsed = thread_cpu_seconds() - start;
    sha256_release(context);
    if (!hashed) {
        fprintf(stderr, "the system's SHA-256 failed: %s\n", error_text.c_str());
        exit(1);
    }
    return elapsed;
}

// The digests alone, in the blocks the check and the download feed them, over bytes already in
// memory: what the two builds' code costs, with no disk or network in the way. Timed in CPU
// time of this thread; `passes` over one buffer make a round long enough for its clock.
static int run_md5(int passes, int rounds)
{
    std::vector<unsigned char> bytes(size_t(md5_buffer_mebibytes) << 20);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<unsigned char>(i % pattern_period);
    std::string md5_text;
    std::string sha256_text;
    double best_md5 = 1e30;
    double best_sha256 = 1e30;
    for (int round = 0; round < rounds; ++round) {
        best_md5 = best_of(best_md5, timed_md5(bytes, passes, md5_text));
        best_sha256 = best_of(best_sha256, timed_sha256(bytes, passes, sha256_text));
    }
    double megabytes = double(md5_buffer_mebibytes) * passes;
    printf("digests in memory: %d passes over %u MiB in %lu-byte blocks, best of %d in CPU time: "
           "MD5 %.1f MiB/s, the system's SHA-256 %.1f MiB/s\n", passes, md5_buffer_mebibytes,
           static_cast<unsigned long>(block_size), rounds, megabytes / best_md5,
           megabytes / best_sha256);
    printf("HASH_MIBS %.1f %.1f %s %s\n", megabytes / best_md5, megabytes / best_sha256,
           md5_text.c_str(), sha256_text.c_str());
    return 0;
}

int main(int argc, char** argv)
{
    if (argc < 4) {
        fprintf(stderr, "usage: update_bench check DIR LIST THREADS | download DIR URL LIST ROUNDS"
                        " | batch DIR URL LIST ROUNDS CONNECTIONS | switch DIR URL LIST ROUNDS CONNECTIONS"
                        " | resume DIR URL LIST"
                        " | signature DIR LIST KEY ROUNDS | md5 PASSES ROUNDS\n");
        return 2;
    }
    std::string mode = argv[1];
    if (mode == "md5") {
        int passes = atoi(argv[2]);
        int rounds = atoi(argv[3]);
        return passes > 0 && rounds > 0 ? run_md5(passes, rounds) : 2;
    }
    folder = argv[2];
    UpdateList list;
    if (mode == "check" && argc >= 5) {
        if (!load_list(argv[3], list))
            return 2;
        return run_check(list, atoi(argv[4]));
    }
    if (argc < 5)
        return 2;
    if (mode == "signature" && argc >= 6) {
        std::string text;
        std::string public_key;
        if (!read_whole_file(argv[3], text) || !decode_base64(argv[4], strlen(argv[4]), public_key))
            return 2;
        return run_signature(text, public_key, atoi(argv[5]));
    }
    base_url = argv[3];
    if (!load_list(argv[4], list))
        return 2;
    if (mode == "download" && argc >= 6)
        return run_download(list, atoi(argv[5]));
    if (mode == "batch" && argc >= 7)
        return run_batch(list, atoi(argv[5]), atoi(argv[6]));
    if (mode == "switch" && argc >= 7)
        return run_switch(list, atoi(argv[5]), atoi(argv[6]));
    if (mode == "resume")
        return run_resume(list);
    return 2;
}
