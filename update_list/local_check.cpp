// The local file check: which listed files are missing or differ on disk, judged by the digest
// cache where size and write time are unchanged, by reading the file where they are not.
#include "update_list/local_check.h"

#include <windows.h>

#include <cstdio>

#include "transfer/md5.h"
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
    write_hash_cache_file(folder + cache_file_name, cache);
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

// True when the file on disk matches the entry, so it needs no download.
static bool entry_is_current(const std::string& folder, const UpdateEntry& entry, HashCache& cache,
                             std::vector<unsigned char>& buffer)
{
    std::string path = join_local_path(folder, entry.path);
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
    if (!hash_file(path, buffer, digest))
        return false;
    CacheRecord& record = cache[key];
    record.size = file.size;
    record.write_time = file.write_time;
    record.md5 = digest;
    return digest == entry.md5;
}

void check_local_files(const std::string& folder, const std::string& launcher_file,
                       const std::vector<UpdateEntry>& files, HashCache& cache,
                       const CheckSink& progress, LocalCheck& result)
{
    std::vector<unsigned char> buffer(hash_chunk_size);
    size_t count = files.size();
    for (size_t i = 0; i < count; ++i) {
        if (i % report_every == 0)
            progress.checked(progress.context, i, count);
        const UpdateEntry& entry = files[i];
        if (entry_is_current(folder, entry, cache, buffer))
            continue;
        if (same_name_ignoring_case(entry.path, launcher_file))
            result.self_index = int(result.download_list.size());
        result.download_list.push_back(entry);
        result.download_total += entry.size;
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
