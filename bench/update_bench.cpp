// Speed of the local check and of the download, each against a bare loop over the same platform
// calls in the same run, plus the peak working set of a download. Driven by run_update_bench.sh.
//   update_bench check DIR LIST              check with no cache, with a warm cache, bare loop
//   update_bench download DIR URL LIST N     N rounds of download_file against the bare loop;
//                                            N = 0 downloads once and reports memory only
#include <windows.h>
#include <wininet.h>
#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "transfer/download.h"
#include "transfer/http_request.h"
#include "transfer/md5.h"
#include "transfer/url.h"
#include "update_list/local_check.h"
#include "update_list/local_path.h"
#include "update_list/update_list.h"

static const int check_rounds = 3;
static const DWORD block_size = 65536;
static const DWORD download_flags = 0x84000200;
static const char launcher_file[] = "launcher.exe";

static unsigned char bare_buffer[block_size];

// The game folder (ending in "\"), the server's address and the session of this run.
static std::string folder;
static std::string base_url;
static HINTERNET session;

static double seconds_now()
{
    LARGE_INTEGER frequency;
    LARGE_INTEGER counter;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    return double(counter.QuadPart) / double(frequency.QuadPart);
}

static bool load_list(const char* file_name, UpdateList& list)
{
    FILE* stream = fopen(file_name, "rb");
    if (stream == NULL)
        return false;
    std::string text;
    char block[65536];
    size_t got;
    while ((got = fread(block, 1, sizeof(block), stream)) > 0)
        text.append(block, got);
    fclose(stream);
    return parse_update_list(text.c_str(), list);
}

static uint64_t total_size(const UpdateList& list)
{
    uint64_t total = 0;
    for (const UpdateEntry& entry : list.files)
        total += entry.size;
    return total;
}

static double peak_working_set_mib()
{
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof(counters);
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
    return double(counters.PeakWorkingSetSize) / 1048576.0;
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

static double timed_check(const UpdateList& list, bool use_cache, size_t& to_fetch)
{
    HashCache cache;
    if (use_cache)
        load_hash_cache(folder, cache);
    LocalCheck check;
    unsigned reports = 0;
    double start = seconds_now();
    check_local_files(folder, launcher_file, list.files, cache, CheckSink{count_checked, &reports},
                      check);
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

// Reading and digesting every file with nothing else around it: the floor of a check with no
// cache on this platform, to tell the check's own cost from the cost of reading under wine.
static double timed_read_loop(const UpdateList& list)
{
    double start = seconds_now();
    for (const UpdateEntry& entry : list.files) {
        FILE* stream = fopen(join_local_path(folder, entry.path).c_str(), "rb");
        if (stream == NULL)
            continue;
        Md5Context context;
        md5_init(context);
        size_t got;
        while ((got = fread(bare_buffer, 1, block_size, stream)) > 0)
            md5_update(context, bare_buffer, uint32_t(got));
        fclose(stream);
        md5_final(context);
    }
    return seconds_now() - start;
}

static int run_check(const UpdateList& list)
{
    size_t to_fetch = 0;
    double cold = 1e30;
    double bare_read = 1e30;
    for (int round = 0; round < check_rounds; ++round) {
        DeleteFileA((folder + "launcher.cache").c_str());
        double check = timed_check(list, false, to_fetch);
        double loop = timed_read_loop(list);
        cold = check < cold ? check : cold;
        bare_read = loop < bare_read ? loop : bare_read;
    }
    double megabytes = double(total_size(list)) / 1048576.0;
    printf("check, no cache: %u files, %.1f MiB in %.3f s = %.1f MiB/s (%u to fetch)\n",
           unsigned(list.files.size()), megabytes, cold, megabytes / cold, unsigned(to_fetch));
    printf("bare fopen/fread/md5 loop over the same files: %.3f s = %.1f MiB/s; check / loop "
           "throughput %.2f\n", bare_read, megabytes / bare_read, bare_read / cold);
    double best_warm = 1e30;
    double best_bare = 1e30;
    for (int round = 0; round < check_rounds; ++round) {
        double warm = timed_check(list, true, to_fetch);
        double bare = timed_attribute_loop(list);
        best_warm = warm < best_warm ? warm : best_warm;
        best_bare = bare < best_bare ? bare : best_bare;
    }
    printf("check, warm cache: %.1f ms; bare GetFileAttributesExA loop: %.1f ms; ratio %.2f "
           "(goal <= 2)\n", best_warm * 1000, best_bare * 1000, best_warm / best_bare);
    printf("COLD_MIBS %.1f\n", megabytes / cold);
    return 0;
}

static double timed_downloads(const UpdateList& list)
{
    unsigned reports = 0;
    DownloadSource source = {session, base_url, folder};
    std::string error_text;
    double start = seconds_now();
    for (const UpdateEntry& entry : list.files) {
        if (!download_file(source, entry, join_local_path(folder, entry.path),
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
        return open_http_request(session, url, download_flags, http, error_text);
    http.connection = NULL;
    http.request = InternetOpenUrlA(session, url.c_str(), NULL, 0, download_flags, 0);
    return http.request != NULL;
}

// The same stack with nothing but the work every download must do: read, digest, write.
static double timed_bare_loop(const UpdateList& list, bool one_call_open)
{
    std::string scratch = folder + "bare.tmp";
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
        DWORD got = 0;
        while (InternetReadFile(http.request, bare_buffer, block_size, &got) && got > 0) {
            md5_update(context, bare_buffer, got);
            fwrite(bare_buffer, 1, got, stream);
        }
        fclose(stream);
        close_http_request(http);
        if (md5_final(context) != entry.md5) {
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
    double best_bare = 1e30;
    double best_one_call = 1e30;
    for (int round = 0; round < rounds; ++round) {
        double download = timed_downloads(list);
        double bare = timed_bare_loop(list, false);
        double one_call = timed_bare_loop(list, true);
        best_download = download < best_download ? download : best_download;
        best_bare = bare < best_bare ? bare : best_bare;
        best_one_call = one_call < best_one_call ? one_call : best_one_call;
    }
    printf("download: %u files, %.1f MiB: download_file %.2f s (%.1f MiB/s), bare loop %.2f s "
           "(%.1f MiB/s); throughput ratio %.2f (goal >= 0.9); peak working set %.1f MiB\n",
           unsigned(list.files.size()), megabytes, best_download, megabytes / best_download,
           best_bare, megabytes / best_bare, best_bare / best_download, peak_working_set_mib());
    printf("bare loop with the one-call InternetOpenUrlA instead, for context: %.2f s (%.1f MiB/s)\n",
           best_one_call, megabytes / best_one_call);
    return 0;
}

int main(int argc, char** argv)
{
    if (argc < 4) {
        fprintf(stderr, "usage: update_bench check DIR LIST | download DIR URL LIST ROUNDS\n");
        return 2;
    }
    std::string mode = argv[1];
    folder = argv[2];
    UpdateList list;
    if (mode == "check") {
        if (!load_list(argv[3], list))
            return 2;
        return run_check(list);
    }
    if (mode == "download" && argc >= 6) {
        base_url = argv[3];
        if (!load_list(argv[4], list))
            return 2;
        return run_download(list, atoi(argv[5]));
    }
    return 2;
}
