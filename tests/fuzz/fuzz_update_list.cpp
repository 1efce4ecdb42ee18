// Fuzzes the update list parser: no crash on any text, and nothing it accepts can point outside
// the game folder or be read differently on a second parse.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "tests/fuzz/path_model.h"
#include "update_list/safe_path.h"
#include "update_list/update_list.h"

static void require(bool condition)
{
    if (!condition)
        abort();
}

static void require_safe(const std::string& path)
{
    require(is_safe_relative_path(path.data(), path.size()));
    require(stays_inside_folder(path));
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);
    UpdateList list;
    bool usable = parse_update_list(text.c_str(), list);

    for (const UpdateEntry& entry : list.files) {
        require(entry.md5.size() == 32);
        require_safe(entry.path);
    }
    if (!list.run.empty())
        require_safe(list.run);
    for (const std::string& path : list.deletes)
        require_safe(path);
    require(!usable || !list.version.empty() || !list.files.empty() ||
            text.find("Version=") != std::string::npos);

    // Parsing into a used record gives exactly the same result as into a fresh one.
    UpdateList again = list;
    again.files.push_back(UpdateEntry{"stale", std::string(32, '0'), 1, true});
    again.deletes.push_back("stale");
    require(parse_update_list(text.c_str(), again) == usable);
    require(again.version == list.version && again.news == list.news && again.run == list.run);
    require(again.deletes == list.deletes && again.files.size() == list.files.size());
    for (size_t i = 0; i < list.files.size(); ++i) {
        require(again.files[i].path == list.files[i].path && again.files[i].md5 == list.files[i].md5);
        require(again.files[i].size == list.files[i].size && again.files[i].keep == list.files[i].keep);
    }
    return 0;
}
