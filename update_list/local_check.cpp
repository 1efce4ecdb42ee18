// The local file check: which listed files are missing or differ on disk, judged by the digest
// cache where size and write time are unchanged, by reading the file where they are not.
#include "update_list/local_check.h"

#include <windows.h>

#include <cstdio>

#include "shell/launcher_state.h"
#include "shell/status.h"
#include "transfer/md5.h"

static const char cache_file_name[] = "launcher.cache";
static const size_t hash_chunk_size = 65536;
static const int report_every = 16;  // entries between two progress reports
static const uint64_t progress_scale = 1000;

// Only the worker thread hashes, one file at a time.
static unsigned char hash_buffer[hash_chunk_size];

struct DiskFile {
    uint64_t size;
    uint64_t write_time;
};

static std::string cache_file_path()
{
    return std::string(program_dir) + cache_file_name;
}

void load_hash_cache(HashCache& cache)
{
    read_hash_cache_file(cache_file_path(), cache);
}

void save_hash_cache(const HashCache& cache)
{
    write_hash_cache_file(cache_file_path(), cache);
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
static bool hash_file(const std::string& path, std::string& digest)
{
    FILE* stream = fopen(path.c_str(), "rb");
    if (stream == NULL)
        return false;
    Md5Context context;
    md5_init(context);
    for (;;) {
        size_t got = fread(hash_buffer, 1, hash_chunk_size, stream);
        if (got == 0)
            break;
        md5_update(context, hash_buffer, uint32_t(got));
    }
    bool read_failed = ferror(stream) != 0;
    fclose(stream);
    digest = md5_final(context);
    return !read_failed;
}

static bool same_name_ignoring_case(const std::string& a, const char* b)
{
    return cache_key(a) == cache_key(b);
}

// True when the file on disk matches the entry, so it needs no download.
static bool entry_is_current(const UpdateEntry& entry, HashCache& cache)
{
    std::string path = local_path(entry.path);
    if (entry.keep && GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES)
        return true;
    DiskFile file;
    if (!query_disk_file(path, file))
        return false;
    if (file.size != entry.size)
        return false;
    std::string key = cache_key(entry.path);
    HashCache::const_iterator found = cache.find(key);
    if (found != cache.end() && found->second.size == file.size &&
        found->second.write_time == file.write_time)
        return found->second.md5 == entry.md5;
    std::string digest;
    if (!hash_file(path, digest))
        return false;
    CacheRecord& record = cache[key];
    record.size = file.size;
    record.write_time = file.write_time;
    record.md5 = digest;
    return digest == entry.md5;
}

void check_local_files(const std::vector<UpdateEntry>& files, HashCache& cache, LocalCheck& result)
{
    int count = int(files.size());
    for (int i = 0; i < count; ++i) {
        if (i % report_every == 0) {
            set_status("Checking files... %d / %d", i, count);
            set_progress(unsigned(uint64_t(i) * progress_scale / uint64_t(count)));
        }
        const UpdateEntry& entry = files[size_t(i)];
        if (entry_is_current(entry, cache))
            continue;
        if (same_name_ignoring_case(entry.path, program_file))
            result.self_index = int(result.download_list.size());
        result.download_list.push_back(entry);
        result.download_total += entry.size;
    }
}

void record_download(const UpdateEntry& entry, HashCache& cache)
{
    DiskFile file;
    if (!query_disk_file(local_path(entry.path), file))
        return;
    CacheRecord& record = cache[cache_key(entry.path)];
    record.size = entry.size;
    record.write_time = file.write_time;
    record.md5 = entry.md5;
}
