// Storing a release's bytes as objects and keeping the lists published from the upload folder.
// Nothing here ever changes a file's bytes under its name: objects are written once, and each
// list is kept under a number of its own.
#include "tools/publishing/object_store.h"

#include <algorithm>
#include <cstdio>

#include "digest/md5.h"
#include "tools/publishing/publish_rules.h"
#include "tools/publishing/release_walk.h"
#include "tools/whole_file.h"
#include "update_list/decimal.h"

const char objects_folder[] = "launcher.objects/";
const char lists_folder[] = "launcher.lists/";

static const size_t copy_piece_length = 1 << 20;
static const char list_extension[] = ".txt";
static const size_t list_number_digits = 8;

static bool starts_with_folder(const std::string& path, const char* folder)
{
    std::string key = windows_file_key(path);
    std::string folder_key = windows_file_key(folder);
    return key.compare(0, folder_key.size(), folder_key) == 0;
}

bool is_object_store_file(const std::string& path)
{
    return starts_with_folder(path, objects_folder) || starts_with_folder(path, lists_folder);
}

// Copies `source` into `temporary`, hashing what it copies; false when a file can't be read or
// written, with `md5` and `size` of the bytes copied otherwise.
static bool copy_hashed(const std::string& source, const std::string& temporary, std::string& md5, uint64_t& size,
                        std::string& error_text)
{
    FILE* in = std::fopen(source.c_str(), "rb");
    if (in == nullptr) {
        error_text = "can't open";
        return false;
    }
    FILE* out = std::fopen(temporary.c_str(), "wb");
    if (out == nullptr) {
        std::fclose(in);
        error_text = temporary + ": can't create";
        return false;
    }
    Md5Context context;
    md5_init(context);
    size = 0;
    std::vector<char> piece(copy_piece_length);
    size_t count;
    bool written = true;
    while (written && (count = std::fread(piece.data(), 1, piece.size(), in)) > 0) {
        md5_update(context, piece.data(), static_cast<uint32_t>(count));
        size += count;
        written = std::fwrite(piece.data(), 1, count, out) == count;
    }
    bool read = std::ferror(in) == 0;
    std::fclose(in);
    written = std::fclose(out) == 0 && written;
    md5 = md5_final(context);
    if (!read || !written) {
        error_text = read ? temporary + ": can't write" : "read error";
        return false;
    }
    return true;
}

static bool rename_over(const std::string& temporary, const std::string& name)
{
    if (std::rename(temporary.c_str(), name.c_str()) == 0) {
        return true;
    }
    // The Windows runtime refuses to rename over an existing file.
    std::remove(name.c_str());
    return std::rename(temporary.c_str(), name.c_str()) == 0;
}

bool open_object_store(const std::string& upload_dir, ObjectStore& store, std::string& error_text)
{
    store.upload_dir = upload_dir;
    store.present.clear();
    std::string folder = upload_dir + "/" + std::string(objects_folder, sizeof objects_folder - 2);
    std::vector<ReleaseFile> found;
    // The upload folder is the list's: a first release makes it.
    if (!make_folder(upload_dir, error_text) || !make_folder(folder, error_text) ||
        !list_release_files(folder, found, error_text)) {
        return false;
    }
    for (const ReleaseFile& file : found) {
        store.present[objects_folder + file.path] = file.size;
    }
    return true;
}

bool store_object(ObjectStore& store, const std::string& location, const std::string& source, const std::string& md5,
                  uint64_t size, std::string& error_text)
{
    std::map<std::string, uint64_t>::const_iterator found = store.present.find(location);
    if (found != store.present.end() && found->second == size) {
        return true;
    }
    std::string name = store.upload_dir + "/" + location;
    std::string temporary = name + ".tmp";
    std::string copied_md5;
    uint64_t copied = 0;
    bool stored = copy_hashed(source, temporary, copied_md5, copied, error_text);
    if (stored && (copied != size || copied_md5 != md5)) {
        error_text = "changed while it was read; publish a folder nobody is writing to";
        stored = false;
    }
    if (stored && !rename_over(temporary, name)) {
        error_text = name + ": can't write";
        stored = false;
    }
    if (!stored) {
        std::remove(temporary.c_str());
        return false;
    }
    store.present[location] = size;
    return true;
}

bool store_at_path(const std::string& upload_dir, const std::string& path, const std::string& source,
                   std::string& error_text)
{
    std::string bytes;
    std::string present;
    std::string reason;
    if (!read_whole_file(source, bytes, error_text)) {
        return false;
    }
    std::string name = upload_dir + "/" + path;
    if (read_whole_file(name, present, reason) && present == bytes) {
        return true;
    }
    return replace_whole_file(name, bytes, error_text);
}

// The number of a kept list's path, or 0 for anything else in the folder.
static uint64_t list_number(const std::string& path)
{
    const size_t folder_length = sizeof lists_folder - 1;
    const size_t extension_length = sizeof list_extension - 1;
    uint64_t number = 0;
    if (path.size() <= folder_length + extension_length || path.compare(0, folder_length, lists_folder) != 0 ||
        path.compare(path.size() - extension_length, extension_length, list_extension) != 0 ||
        !read_decimal_digits(path.data() + folder_length, path.size() - folder_length - extension_length, number)) {
        return 0;
    }
    return number;
}

static bool number_greater(const std::string& a, const std::string& b)
{
    return list_number(a) > list_number(b);
}

std::vector<std::string> kept_lists_newest_first(const std::vector<std::string>& paths)
{
    std::vector<std::string> lists;
    for (const std::string& path : paths) {
        if (list_number(path) > 0) {
            lists.push_back(path);
        }
    }
    std::sort(lists.begin(), lists.end(), number_greater);
    return lists;
}

bool keep_published_list(const std::string& upload_dir, const std::string& text, std::string& error_text)
{
    std::string folder = upload_dir + "/" + std::string(lists_folder, sizeof lists_folder - 2);
    std::vector<ReleaseFile> found;
    if (!make_folder(folder, error_text) || !list_release_files(folder, found, error_text)) {
        return false;
    }
    std::vector<std::string> paths;
    for (const ReleaseFile& file : found) {
        paths.push_back(lists_folder + file.path);
    }
    std::vector<std::string> lists = kept_lists_newest_first(paths);
    std::string newest;
    std::string reason;
    if (!lists.empty() && read_whole_file(upload_dir + "/" + lists[0], newest, reason) && newest == text) {
        return true;
    }
    std::string number = std::to_string(lists.empty() ? 1 : list_number(lists[0]) + 1);
    if (number.size() < list_number_digits) {
        number.insert(0, list_number_digits - number.size(), '0');
    }
    return replace_whole_file(upload_dir + "/" + lists_folder + number + list_extension, text, error_text);
}
