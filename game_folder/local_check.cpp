// The local file check: which listed files are missing or differ on disk, judged by the digest
// cache where size and write time are unchanged, by reading the file where they are not.
#include "game_folder/local_check.h"

#include <windows.h>

#include <cstdio>
#include <set>

#include "digest/md5.h"
#include "game_folder/durable_file.h"
#include "platform/thread_wait.h"
#include "update_list/local_path.h"

static const char cache_file_name[] = "launcher.cache";
static const size_t hash_chunk_size = 65536;
static const int report_every = 16;  // entries between two progress reports

struct DiskFile {
    uint64_t size;
    uint64_t write_time;
};

void load_hash_cache(const std::string& folder, HashCache& cache)
{
    read_hash_cache_file(folder + cache_file_name, cache);
}

void save_hash_cache(const std::string& folder, const HashCache& cache)
{
    replace_file_durably(folder + cache_file_name, hash_cache_text(cache));
}

static bool query_disk_file(const std::string& path, DiskFile& file)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data))
        return false;
    file.size = (uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    file.write_time = (uint64_t(data.ftLastWriteTime.dwHighDateTime) << 32) |
                      data.ftLastWriteTime.dwLowDateTime;
    return true;
}

// False when the file can't be opened or a read fails: such a file is fetched anew, and its
// half-read digest must not reach the cache.
static bool hash_file(const std::string& path, std::vector<unsigned char>& buffer,
                      std::string& digest)
{
    FILE* stream = fopen(path.c_str(), "rb");
    if (stream == NULL)
        return false;
    Md5Context context;
    md5_init(context);
    for (;;) {
        size_t got = fread(buffer.data(), 1, buffer.size(), stream);
        if (got == 0)
            break;
        md5_update(context, buffer.data(), uint32_t(got));
    }
    bool read_failed = ferror(stream) != 0;
    fclose(stream);
    digest = md5_final(context);
    return !read_failed;
}

static bool same_name_ignoring_case(const std::string& a, const std::string& b)
{
    return cache_key(a) == cache_key(b);
}

// Whether the file on disk matches its entry, so it needs no download; when the file had to be
// read, also the record that reading made for the cache.
struct Verdict {
    bool current = false;
    bool hashed = false;
    CacheRecord record;
};

// Reads the cache only, so that several entries can be judged at once.
static Verdict judge_entry(const std::string& folder, const UpdateEntry& entry,
                           const HashCache& cache, std::vector<unsigned char>& buffer)
{
    Verdict verdict;
    std::string path = join_local_path(folder, entry.path);
    if (entry.keep && GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES) {
        verdict.current = true;
        return verdict;
    }
    DiskFile file;
    if (!query_disk_file(path, file) || file.size != entry.size)
        return verdict;
    HashCache::const_iterator found = cache.find(cache_key(entry.path));
    if (found != cache.end() && found->second.size == file.size &&
        found->second.write_time == file.write_time) {
        verdict.current = found->second.md5 == entry.md5;
        return verdict;
    }
    std::string digest;
    if (!hash_file(path, buffer, digest))
        return verdict;
    verdict.hashed = true;
    verdict.record = CacheRecord{file.size, file.write_time, digest};
    verdict.current = digest == entry.md5;
    return verdict;
}

static void take_verdict(const std::string& launcher_file, const UpdateEntry& entry,
                         const Verdict& verdict, HashCache& cache, LocalCheck& result)
{
    if (verdict.hashed)
        cache[cache_key(entry.path)] = verdict.record;
    if (verdict.current)
        return;
    if (same_name_ignoring_case(entry.path, launcher_file))
        result.self_index = int(result.download_list.size());
    result.download_list.push_back(entry);
    result.download_total += entry.size;
}

static void check_on_this_thread(const std::string& folder, const std::string& launcher_file,
                                 const std::vector<UpdateEntry>& files, HashCache& cache,
                                 const CheckSink& progress, LocalCheck& result)
{
    std::vector<unsigned char> buffer(hash_chunk_size);
    size_t count = files.size();
    for (size_t i = 0; i < count; ++i) {
        if (i % report_every == 0)
            progress.checked(progress.context, i, count);
        take_verdict(launcher_file, files[i], judge_entry(folder, files[i], cache, buffer), cache,
                     result);
    }
}

// The entries judged by several threads at once, in runs of sixteen: one run between two
// reports. The caller's thread only watches: it reports the runs done from the first on, in list
// order, and takes the verdicts in list order once all are in, so the results are those of a
// single thread. A thread tells of a whole run at once; one signal per entry costs more than a
// cached entry's whole check under wine.
struct CheckFanOut {
    const std::string& folder;
    const std::vector<UpdateEntry>& files;
    const HashCache& cache;
    std::vector<Verdict> verdicts;  // each written by the thread that took its run
    std::vector<char> runs_judged;  // 1 once every verdict of run r is in; under lock
    size_t next_run;                // the next run a thread takes; under lock
    CRITICAL_SECTION lock;
    HANDLE progress_event;          // set whenever a run is judged
};

static size_t run_count(size_t entries)
{
    return (entries + report_every - 1) / report_every;
}

static DWORD WINAPI judge_entries(LPVOID context)
{
    CheckFanOut& fan = *static_cast<CheckFanOut*>(context);
    std::vector<unsigned char> buffer(hash_chunk_size);
    size_t runs = run_count(fan.files.size());
    for (;;) {
        EnterCriticalSection(&fan.lock);
        size_t run = fan.next_run;
        if (run < runs)
            ++fan.next_run;
        LeaveCriticalSection(&fan.lock);
        if (run >= runs)
            return 0;
        size_t end = (run + 1) * report_every;
        for (size_t i = run * report_every; i < end && i < fan.files.size(); ++i)
            fan.verdicts[i] = judge_entry(fan.folder, fan.files[i], fan.cache, buffer);
        EnterCriticalSection(&fan.lock);
        fan.runs_judged[run] = 1;
        LeaveCriticalSection(&fan.lock);
        SetEvent(fan.progress_event);
    }
}

// Reports every sixteenth entry once all before it are judged, until all are.
static void report_in_order(CheckFanOut& fan, const CheckSink& progress)
{
    size_t count = fan.files.size();
    size_t runs = run_count(count);
    size_t done = 0;
    while (done < runs) {
        WaitForSingleObject(fan.progress_event, INFINITE);
        size_t before = done;
        EnterCriticalSection(&fan.lock);
        while (done < runs && fan.runs_judged[done])
            ++done;
        LeaveCriticalSection(&fan.lock);
        for (size_t run = before + 1; run <= done && run * report_every < count; ++run)
            progress.checked(progress.context, run * report_every, count);
    }
}

// False when no thread could be started; the caller then judges on its own.
static bool judge_on_threads(CheckFanOut& fan, int threads, const CheckSink& progress)
{
    std::vector<HANDLE> started;
    for (int t = 0; t < threads; ++t) {
        HANDLE thread = CreateThread(NULL, 0, judge_entries, &fan, 0, NULL);
        if (thread != NULL)
            started.push_back(thread);
    }
    if (started.empty())
        return false;
    progress.checked(progress.context, 0, fan.files.size());
    report_in_order(fan, progress);
    wait_for_threads(started, INFINITE, NULL, NULL);
    for (HANDLE thread : started)
        CloseHandle(thread);
    return true;
}

static void check_on_threads(const std::string& folder, const std::string& launcher_file,
                             const std::vector<UpdateEntry>& files, HashCache& cache, int threads,
                             const CheckSink& progress, LocalCheck& result)
{
    CheckFanOut fan = {folder, files, cache, std::vector<Verdict>(files.size()),
                       std::vector<char>(run_count(files.size()), 0), 0, {}, NULL};
    InitializeCriticalSection(&fan.lock);
    fan.progress_event = CreateEventA(NULL, FALSE, FALSE, NULL);
    bool judged = fan.progress_event != NULL && judge_on_threads(fan, threads, progress);
    if (fan.progress_event != NULL)
        CloseHandle(fan.progress_event);
    DeleteCriticalSection(&fan.lock);
    if (!judged) {
        check_on_this_thread(folder, launcher_file, files, cache, progress, result);
        return;
    }
    for (size_t i = 0; i < files.size(); ++i)
        take_verdict(launcher_file, files[i], fan.verdicts[i], cache, result);
}

void check_local_files(const std::string& folder, const std::string& launcher_file,
                       const std::vector<UpdateEntry>& files, HashCache& cache, int threads,
                       const CheckSink& progress, LocalCheck& result)
{
    if (threads > 1 && files.size() > 1)
        check_on_threads(folder, launcher_file, files, cache, threads, progress, result);
    else
        check_on_this_thread(folder, launcher_file, files, cache, progress, result);
}

// Whether `path` is the part of a listed file or that part's tag, by the part's key.
static bool is_listed_part(const std::set<std::string>& parts, const std::string& path)
{
    static const char tag_suffix[] = ".tag";
    const size_t tag_length = sizeof tag_suffix - 1;
    if (parts.count(cache_key(path)) != 0)
        return true;
    return path.size() > tag_length && cache_key(path.substr(path.size() - tag_length)) == tag_suffix &&
           parts.count(cache_key(path.substr(0, path.size() - tag_length))) != 0;
}

// One folder listing per folder of the list rather than one deletion per entry: a check of tens of
// thousands of files costs about as much as that many deletions.
void remove_part_files(const std::string& folder, const std::vector<UpdateEntry>& files)
{
    std::set<std::string> parts;
    std::set<std::string> folders;
    for (const UpdateEntry& entry : files) {
        std::string part = join_local_path(folder, entry.path) + ".part";
        parts.insert(cache_key(part));
        folders.insert(part.substr(0, part.rfind('\\') + 1));
    }
    for (const std::string& listed_folder : folders) {
        WIN32_FIND_DATAA found;
        HANDLE search = FindFirstFileA((listed_folder + "*.part*").c_str(), &found);
        if (search == INVALID_HANDLE_VALUE)
            continue;
        do {
            std::string path = listed_folder + found.cFileName;
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && is_listed_part(parts, path)) {
                SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileA(path.c_str());
            }
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
}

void record_download(const std::string& folder, const UpdateEntry& entry, HashCache& cache)
{
    DiskFile file;
    if (!query_disk_file(join_local_path(folder, entry.path), file))
        return;
    CacheRecord& record = cache[cache_key(entry.path)];
    record.size = entry.size;
    record.write_time = file.write_time;
    record.md5 = entry.md5;
}
