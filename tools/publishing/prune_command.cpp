// make_manifest prune: removes from an upload folder the objects and maps that neither the list it
// serves nor the lists published before it name. Players who fetched one of those lists may still
// ask for what it names, so what any of them names stays; every list is read before anything goes.
#include "tools/publishing/prune_command.h"

#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "tools/publishing/object_store.h"
#include "tools/publishing/publish_rules.h"
#include "tools/publishing/release_walk.h"
#include "tools/whole_file.h"
#include "update_list/decimal.h"
#include "update_list/update_list.h"

static const int exit_refused = 1;
static const int exit_usage = 2;
static const char current_list_name[] = "manifest.txt";
static const char maps_folder[] = "launcher.maps/";

static const char usage_text[] =
    "usage: make_manifest prune UPLOAD_DIR --keep N [--dry-run]\n"
    "\n"
    "Removes the objects (launcher.objects/) and block maps (launcher.maps/) of UPLOAD_DIR that\n"
    "neither its manifest.txt nor the N lists published before it (launcher.lists/) name. Run it\n"
    "on the upload folder, then remove the same files from the server.\n"
    "\n"
    "  --keep N     how many earlier lists still count (players may hold them a while)\n"
    "  --dry-run    only print what would be removed\n";

struct PruneOptions {
    std::string upload_dir;
    uint64_t keep = 0;
    bool dry_run = false;
};

static bool parse_prune_options(int argc, char** argv, PruneOptions& options, std::string& error_text)
{
    bool has_keep = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--dry-run") {
            options.dry_run = true;
        } else if (arg == "--keep") {
            std::string value = i + 1 < argc ? argv[++i] : "";
            if (!read_decimal_digits(value.data(), value.size(), options.keep)) {
                error_text = "--keep takes a number of lists";
                return false;
            }
            has_keep = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            error_text = "unknown option " + arg;
            return false;
        } else if (options.upload_dir.empty()) {
            options.upload_dir = arg;
        } else {
            error_text = "more than one upload folder: " + arg;
            return false;
        }
    }
    if (options.upload_dir.empty() || !has_keep) {
        error_text = options.upload_dir.empty() ? "no upload folder given" : "--keep is required";
        return false;
    }
    return true;
}

// Adds every object and map `text` names to `named`; false when it is no list a launcher takes.
static bool add_named(const std::string& text, std::set<std::string>& named)
{
    UpdateList list;
    if (!parse_update_list(text.c_str(), list)) {
        return false;
    }
    for (const UpdateEntry& entry : list.files) {
        if (!entry.object.empty()) {
            named.insert(entry.object);
        }
    }
    for (const BlockMapLine& map : list.maps) {
        named.insert(map.location);
    }
    return true;
}

// A file directly in one of the two folders whose names only content decides.
static bool is_prunable(const std::string& path)
{
    for (const char* folder : {objects_folder, maps_folder}) {
        std::string prefix = folder;
        if (path.compare(0, prefix.size(), prefix) == 0 && path.find('/', prefix.size()) == std::string::npos) {
            return true;
        }
    }
    return false;
}

// The lists that still count: the one served and the `keep` newest kept ones other than it.
static bool read_named(const PruneOptions& options, const std::vector<ReleaseFile>& found,
                       std::set<std::string>& named, size_t& lists_read, std::string& error_text)
{
    std::string current;
    if (!read_whole_file(options.upload_dir + "/" + current_list_name, current, error_text) ||
        !add_named(current, named)) {
        error_text = error_text.empty() ? std::string(current_list_name) + ": not an update list" : error_text;
        return false;
    }
    lists_read = 1;
    std::vector<std::string> paths;
    for (const ReleaseFile& file : found) {
        paths.push_back(file.path);
    }
    uint64_t earlier = 0;
    for (const std::string& path : kept_lists_newest_first(paths)) {
        if (earlier == options.keep) {
            break;
        }
        std::string text;
        if (!read_whole_file(options.upload_dir + "/" + path, text, error_text)) {
            return false;
        }
        if (text == current) {
            continue;
        }
        if (!add_named(text, named)) {
            error_text = path + ": not an update list";
            return false;
        }
        ++earlier;
        ++lists_read;
    }
    return true;
}

int run_prune(int argc, char** argv)
{
    PruneOptions options;
    std::string error_text;
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(usage_text, stdout);
        return 0;
    }
    if (!parse_prune_options(argc, argv, options, error_text)) {
        std::fprintf(stderr, "make_manifest prune: %s; see make_manifest prune --help\n", error_text.c_str());
        return exit_usage;
    }
    std::vector<ReleaseFile> found;
    std::set<std::string> named;
    size_t lists_read = 0;
    if (!list_release_files(options.upload_dir, found, error_text) ||
        !read_named(options, found, named, lists_read, error_text)) {
        std::fprintf(stderr, "make_manifest: %s; nothing was removed\n", error_text.c_str());
        return exit_refused;
    }
    size_t kept = 0;
    size_t removed = 0;
    uint64_t removed_bytes = 0;
    for (const ReleaseFile& file : found) {
        if (!is_prunable(file.path)) {
            continue;
        }
        if (named.count(file.path) != 0) {
            ++kept;
            continue;
        }
        if (!options.dry_run && std::remove((options.upload_dir + "/" + file.path).c_str()) != 0) {
            std::fprintf(stderr, "make_manifest: %s: can't remove\n", file.path.c_str());
            return exit_refused;
        }
        std::printf("%s %s\n", options.dry_run ? "would remove" : "removed", file.path.c_str());
        ++removed;
        removed_bytes += file.size;
    }
    std::printf("prune: %zu file(s) %s (%llu bytes), %zu kept, named by %zu list(s)\n", removed,
                options.dry_run ? "would be removed" : "removed", static_cast<unsigned long long>(removed_bytes),
                kept, lists_read);
    return 0;
}
