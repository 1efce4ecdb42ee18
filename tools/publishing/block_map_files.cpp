// The launcher.maps/ folder of a release: a map is written only when its bytes differ from the
// file there, and a map is removed only once a complete new list no longer names it.
#include "tools/publishing/block_map_files.h"

#include <cstdio>

#include "tools/publishing/publish_rules.h"
#include "tools/publishing/release_walk.h"
#include "tools/whole_file.h"

bool store_block_map(const std::string& release_dir, const std::string& location, const std::string& map,
                     std::string& error_text)
{
    std::string name = release_dir + "/" + location;
    std::string present;
    std::string reason;
    if (read_whole_file(name, present, reason) && present == map) {
        return true;
    }
    std::string folder = name.substr(0, name.rfind('/'));
    return make_folder(folder, error_text) && replace_whole_file(name, map, error_text);
}

bool remove_stale_block_maps(const std::string& release_dir, const std::vector<std::string>& found,
                             const std::set<std::string>& kept, std::string& error_text)
{
    std::set<std::string> kept_keys;
    for (const std::string& location : kept) {
        kept_keys.insert(windows_file_key(location));
    }
    for (const std::string& path : found) {
        if (is_block_map_file(path) && kept_keys.count(windows_file_key(path)) == 0 &&
            std::remove((release_dir + "/" + path).c_str()) != 0) {
            error_text = path + ": can't remove the stale block map";
            return false;
        }
    }
    return true;
}
